// What the parts of the receiver's HTTP side share: the loop (serve.cpp),
// the answers on the posts' port (answer.cpp), the commits on their own
// thread (commit.cpp), the watching port (watch.cpp), the signals
// (signals.cpp) and the log (log.cpp). Everything here belongs to the loop's
// thread but the CommitQueue, whose members past its lock are shared with
// the commit thread.
#ifndef RECEIVER_RECEIVER_STATE_H
#define RECEIVER_RECEIVER_STATE_H

#include <pthread.h>
#include <stdarg.h>
#include <time.h>

#include <microhttpd.h>

#include "form.h"
#include "keys.h"
#include "store.h"

constexpr char kPlainText[] = "text/plain; charset=utf-8";
constexpr char kRetryAfter[] = "5";
// The whole of a request, from its connection's start (or the end of the
// request before it) to the answer, but for the wait for its commit.
constexpr long kRequestSeconds = 10;
// From a post's arrival to its answer, its commit included: a post not
// committed by then is answered 503.
constexpr long long kCommitMilliseconds = 5000;
// What a commit's time is counted in, in seconds: a group's fdatasync, or
// a round trip to a database on another host, up to one that times out.
constexpr double kCommitBuckets[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};
constexpr size_t kBucketCount = sizeof kCommitBuckets / sizeof kCommitBuckets[0];

// stageBusy: no room for its body; answered 503 once the body is in.
enum Stage { stageReading, stageBusy, stageWaiting, stageKept, stageUnavailable };

struct Connection {
    Connection *older;
    Connection *newer;
    timespec started;
    int fd;
    bool held; // waiting for its commit or answered after it: never cut off
    bool cutOff;
};

struct Request {
    Stage stage;
    size_t expected; // the Content-Length
    size_t length;
    size_t capacity; // of body, counted in the receiver's budget
    char *body;
    char *sealed;
    char *text;
    char device[deviceNameMax + 1];
    char mac[postMacDigits + 1];
    long long arrived; // CLOCK_MONOTONIC milliseconds, once it is whole
    Post post;
    MHD_Connection *connection;
    Request *nextWaiting;
};

// What /metrics shows: every answer to a post is counted once.
struct Counts {
    unsigned long long kept;
    unsigned long long duplicate;
    unsigned long long notOpened;
    unsigned long long forged;
    unsigned long long refused;     // 4xx: not a post the receiver takes
    unsigned long long unavailable; // 503: busy, out of memory, or the store failed
    unsigned long long commitBuckets[kBucketCount];
    unsigned long long commits;
    double commitSeconds;
    unsigned long long decryptions; // texts Blowfish decrypted, keys tried included
};

// Something that may happen many times a second, logged at most once a
// minute: the first time at once, then how many more times in a line at
// the end of each minute in which it happened.
struct RateNote {
    long long windowStart; // CLOCK_MONOTONIC seconds; 0: no window open
    unsigned long long more;
};

// A group the commit thread kept, or failed to keep, for the loop to answer.
struct Group {
    Request *first; // linked by nextWaiting
    size_t count;
    StoreFault result;
    double seconds;
    Group *next;
};

// When each device was last kept, as the commit thread read it from the
// store for the loop.
struct DeviceTime {
    char device[deviceNameMax + 1];
    long long seconds; // Unix time
};
struct LastKeptRead {
    StoreFault fault;
    DeviceTime *devices; // in name order
    size_t count;
};

// Posts go from the loop to the commit thread, and groups back, through
// this queue; everything in it is under its lock. While a group commits
// the next forms, and the thread takes all of it as soon as it is free.
struct CommitQueue {
    pthread_mutex_t lock;
    pthread_cond_t wake;
    Store *store;
    Request *first; // waiting for a commit, oldest first
    Request **last;
    bool committing;
    Group *done; // oldest first
    Group **doneLast;
    bool stop;
    // Whether the store answered at the last commit or check.
    bool storeAnswers;
    int doneFd; // written by the thread when a group is done
    // The loop asks for the times the store holds, which the thread reads
    // once free and no sooner than lastKeptTry (CLOCK_MONOTONIC ms).
    bool lastKeptWanted;
    long long lastKeptTry;
    bool lastKeptReady; // lastKeptRead is the loop's to take
    LastKeptRead lastKeptRead;
};

// Forged posts are logged by the device they name, a line a minute each.
struct ForgedNote {
    bool used;
    bool other; // stands for every device past the table's room
    char device[deviceNameMax + 1]; // empty: posts that named none
    RateNote note;
};
constexpr size_t kForgedNotes = 64;

// A device with keys here, and when its last post was kept: what /metrics
// shows of it once known, from the store or from a post kept since.
struct LastKept {
    char device[deviceNameMax + 1];
    long long seconds; // Unix time; 0: never kept
    bool known;
};

struct Receiver {
    KeySettings keySettings;
    KeyRing ring;
    char trustedProxy[peerSize];
    Store store;
    Counts counts;
    size_t connectionCount;
    size_t connectionLimit; // beyond it the longest idle connection goes
    MHD_Response *noContent;
    MHD_Response *unavailable;
    CommitQueue queue;
    pthread_t commitThread;
    Connection *oldest;
    Connection *newest;
    size_t bodyBytes; // room held for bodies, all connections together
    RateNote busy;
    bool requireMac;
    ForgedNote forged[kForgedNotes + 1];
    // Lines about posts that did not open, written only once their answers
    // went out, so that writing them cannot show in an answer's time.
    char *log;
    size_t logLength;
    size_t logCapacity;
    LastKept *lastKept; // the keyed devices, in name order as in ring
    size_t lastKeptCount;
    bool lastKeptFailing; // the last read failed, and was logged
    unsigned long long reloads; // SIGHUPs taken, for what systemd's reload waits for
};

timespec now();

// log.cpp
void logLine(const char *apFormat, ...) __attribute__((format(printf, 1, 2)));
void deferLine(Receiver *apReceiver, const Request *apRequest);
void flushDeferredLines(Receiver *apReceiver);
// A forged post: logged at once if it is its device's first this minute.
void noteForged(Receiver *apReceiver, const Request *apRequest);
// The counts of the minutes that have ended.
void logForgedMinutes(Receiver *apReceiver);
// Counts one more of what aNote notes; true when it is the first of a
// minute, to be logged now.
bool noteOnce(RateNote *apNote);
// The count of a minute that has ended, to be logged, or 0.
unsigned long long noteEnded(RateNote *apNote);

// answer.cpp: the callbacks libmicrohttpd calls for the posts' port.
MHD_Result answer(void *apClosure, MHD_Connection *apConnection, const char *apUrl, const char *apMethod,
                  const char *apVersion, const char *apUpload, size_t *apUploadSize, void **apRequest);
void requestDone(void *apClosure, MHD_Connection *apConnection, void **apRequest, MHD_RequestTerminationCode);
void connectionChanged(void *apClosure, MHD_Connection *apConnection, void **apSocketContext,
                       MHD_ConnectionNotificationCode aCode);
MHD_Result queuePlain(MHD_Connection *apConnection, unsigned aStatus, const char *apType, const char *apText,
                      size_t aLength, const char *apAllowed, const char *apRetryAfter);
void cutOffSlowConnections(Receiver *apReceiver);
void logBusyMinute(Receiver *apReceiver);

// commit.cpp
bool startCommits(Receiver *apReceiver);
void stopCommits(Receiver *apReceiver);
// The whole post waits for a commit.
void enqueuePost(Receiver *apReceiver, Request *apRequest);
// Answers the groups the commit thread is done with, and 503 to posts that
// waited past their bound; true when it answered any.
bool runCommits(Receiver *apReceiver);
bool commitsPending(Receiver *apReceiver);
// Milliseconds until the oldest waiting post's bound, or -1: none waits.
long long untilOverdue(Receiver *apReceiver);
bool storeAnswersNow(Receiver *apReceiver);

// last_kept.cpp
// The keys were read: a time for each device they name, those it had kept,
// and the store asked for the rest.
void keyedDevicesChanged(Receiver *apReceiver);
// The commit thread's: reads the times the store holds.
LastKeptRead readLastKept(Store *apStore);
// The loop's: takes what the commit thread read, if anything.
void takeLastKept(Receiver *apReceiver);
// A post of a keyed device kept.
void noteKept(Receiver *apReceiver, const Post *apPost);
void releaseLastKept(Receiver *apReceiver);

// watch.cpp
MHD_Result watch(void *apClosure, MHD_Connection *apConnection, const char *apUrl, const char *apMethod,
                 const char *apVersion, const char *apUpload, size_t *apUploadSize, void **apContext);

// signals.cpp: whether a signal to stop arrived; SIGHUP reads the keys again.
bool takeSignals(Receiver *apReceiver, int aSignalFd);

#endif
