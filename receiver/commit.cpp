#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "receiver_state.h"

namespace {

// How often an idle commit thread asks whether the store answers, so that
// /healthz is never older than this; while it does not, more often, so that
// posts are kept again soon after it does.
constexpr long long kCheckMilliseconds = 5000;
constexpr long long kSilentCheckMilliseconds = 1000;

timespec inMilliseconds(long long aMilliseconds)
{
    timespec time = now();
    long long nanoseconds = time.tv_nsec + (aMilliseconds % 1000) * 1000000;
    time.tv_sec += static_cast<time_t>(aMilliseconds / 1000 + nanoseconds / 1000000000);
    time.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return time;
}

// The loop asked for the store's times, and the time to try has come.
bool lastKeptDue(const CommitQueue *apQueue)
{
    return apQueue->lastKeptWanted && monotonicMilliseconds() >= apQueue->lastKeptTry;
}

// Keeps the posts from apFirst on in one commit; the group it returns (null
// when the heap has no room for one) says how that went.
Group *commitGroup(CommitQueue *apQueue, Request *apFirst, Post ***apPosts, size_t *apCapacity)
{
    size_t count = 0;
    for (Request *request = apFirst; request != nullptr; request = request->nextWaiting)
        ++count;
    Group *group = static_cast<Group *>(calloc(1, sizeof *group));
    if (group == nullptr)
        return nullptr;
    *group = {apFirst, count, {true, "out of memory"}, 0, nullptr};
    if (count > *apCapacity) {
        Post **grown = static_cast<Post **>(realloc(*apPosts, count * 2 * sizeof *grown));
        if (grown == nullptr)
            return group;
        *apPosts = grown;
        *apCapacity = count * 2;
    }
    size_t i = 0;
    for (Request *request = apFirst; request != nullptr; request = request->nextWaiting)
        (*apPosts)[i++] = &request->post;
    timespec started = now();
    group->result = keepGroup(apQueue->store, *apPosts, count, apFirst->arrived + kCommitMilliseconds);
    timespec ended = now();
    group->seconds = static_cast<double>(ended.tv_sec - started.tv_sec) +
                     static_cast<double>(ended.tv_nsec - started.tv_nsec) / 1e9;
    return group;
}

// A store away since the start is connected by the commit thread's commits
// and checks: says so when it answers, and each new reason it cannot keep
// posts yet; apSaid holds the last said.
void sayHowAway(const Store *apStore, bool *apAway, char *apSaid, size_t aSize)
{
    if (*apAway && !apStore->pgAway)
        logLine("the store answers now: its tables are ready, and posts are kept");
    else if (apStore->pgAway && strcmp(apSaid, apStore->pgAwayFault.message) != 0)
        logLine("%s; posts are answered 503 until it can keep them, and it is tried again every second",
                apStore->pgAwayFault.message);
    *apAway = apStore->pgAway;
    snprintf(apSaid, aSize, "%s", apStore->pgAwayFault.message);
}

// The store is the commit thread's alone: it takes every post waiting as
// soon as it is free, keeps them in one commit, and tells the loop through
// doneFd; what it last found of the store is what /healthz answers.
void *commitThread(void *apQueue)
{
    CommitQueue *queue = static_cast<CommitQueue *>(apQueue);
    Post **posts = nullptr;
    size_t capacity = 0;
    bool away = queue->store->pgAway;
    char said[storeMessageSize] = "";
    sayHowAway(queue->store, &away, said, sizeof said);
    pthread_mutex_lock(&queue->lock);
    long long checked = monotonicMilliseconds();
    for (;;) {
        while (queue->first == nullptr && !queue->stop && !lastKeptDue(queue)) {
            long long wake = checked + (queue->storeAnswers ? kCheckMilliseconds : kSilentCheckMilliseconds);
            if (queue->lastKeptWanted && queue->lastKeptTry < wake)
                wake = queue->lastKeptTry;
            long long left = wake - monotonicMilliseconds();
            if (left > 0) {
                timespec until = inMilliseconds(left);
                pthread_cond_timedwait(&queue->wake, &queue->lock, &until);
                continue;
            }
            if (lastKeptDue(queue))
                continue;
            pthread_mutex_unlock(&queue->lock);
            bool answers = storeAnswers(queue->store);
            tidyStore(queue->store, false);
            sayHowAway(queue->store, &away, said, sizeof said);
            pthread_mutex_lock(&queue->lock);
            queue->storeAnswers = answers;
            checked = monotonicMilliseconds();
        }
        // Before the posts waiting, which wait for one read of the store at
        // start and at each reload of the keys.
        if (!queue->stop && lastKeptDue(queue)) {
            queue->lastKeptWanted = false;
            pthread_mutex_unlock(&queue->lock);
            LastKeptRead read = readLastKept(queue->store);
            pthread_mutex_lock(&queue->lock);
            free(queue->lastKeptRead.devices);
            queue->lastKeptRead = read;
            queue->lastKeptReady = true;
            pthread_mutex_unlock(&queue->lock);
            uint64_t one = 1;
            while (write(queue->doneFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
            pthread_mutex_lock(&queue->lock);
            continue;
        }
        // Posts that came before a stop are kept before the thread ends.
        if (queue->first == nullptr)
            break;
        Request *first = queue->first;
        queue->first = nullptr;
        queue->last = &queue->first;
        queue->committing = true;
        pthread_mutex_unlock(&queue->lock);

        Group *group = commitGroup(queue, first, &posts, &capacity);
        sayHowAway(queue->store, &away, said, sizeof said);
        pthread_mutex_lock(&queue->lock);
        queue->committing = false;
        if (group != nullptr) {
            *queue->doneLast = group;
            queue->doneLast = &group->next;
            queue->storeAnswers = !group->result.failed;
        } else {
            // Not even room to say so: the posts go back, to be tried again
            // or answered 503 at their bound.
            Request **end = &first;
            while (*end != nullptr)
                end = &(*end)->nextWaiting;
            *end = queue->first;
            queue->first = first;
            if (*end == nullptr)
                queue->last = end;
            timespec until = inMilliseconds(10);
            pthread_cond_timedwait(&queue->wake, &queue->lock, &until);
        }
        checked = monotonicMilliseconds();
        pthread_mutex_unlock(&queue->lock);
        uint64_t one = 1;
        while (write(queue->doneFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        // After the group's answers can go out, so that no post waits for
        // what its own group left; what fails is tried after the next commit.
        tidyStore(queue->store, false);
        sayHowAway(queue->store, &away, said, sizeof said);
        pthread_mutex_lock(&queue->lock);
    }
    pthread_mutex_unlock(&queue->lock);
    free(posts);
    return nullptr;
}

void resume(Request *apRequest, bool aKept)
{
    apRequest->nextWaiting = nullptr;
    apRequest->stage = aKept ? stageKept : stageUnavailable;
    MHD_resume_connection(apRequest->connection);
}

// Every post of the group gets the outcome of its commit.
void answerGroup(Receiver *apReceiver, const Group *apGroup)
{
    Counts *counts = &apReceiver->counts;
    ++counts->commits;
    counts->commitSeconds += apGroup->seconds;
    for (size_t bucket = 0; bucket < kBucketCount; ++bucket)
        counts->commitBuckets[bucket] += apGroup->seconds <= kCommitBuckets[bucket];
    bool failed = apGroup->result.failed;
    if (failed)
        logLine("a commit of %zu post%s failed, answered 503: %s", apGroup->count, apGroup->count == 1 ? "" : "s",
                apGroup->result.message);
    for (Request *request = apGroup->first; request != nullptr;) {
        Request *next = request->nextWaiting;
        const Post *post = &request->post;
        if (failed)
            ++counts->unavailable;
        else if (post->duplicate)
            ++counts->duplicate;
        else if (post->forged)
            ++counts->forged;
        else if (post->text != nullptr) {
            ++counts->kept;
            noteKept(apReceiver, post);
        }
        else
            ++counts->notOpened;
        if (!failed && !post->duplicate && post->forged)
            noteForged(apReceiver, request);
        else if (!failed && !post->duplicate && post->text == nullptr)
            deferLine(apReceiver, request);
        resume(request, !failed);
        request = next;
    }
}

} // namespace

bool startCommits(Receiver *apReceiver)
{
    CommitQueue *queue = &apReceiver->queue;
    queue->store = &apReceiver->store;
    queue->last = &queue->first;
    queue->doneLast = &queue->done;
    queue->storeAnswers = !apReceiver->store.pgAway;
    queue->doneFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pthread_condattr_t clock;
    bool made = queue->doneFd >= 0 && pthread_condattr_init(&clock) == 0;
    made = made && pthread_condattr_setclock(&clock, CLOCK_MONOTONIC) == 0 &&
           pthread_cond_init(&queue->wake, &clock) == 0;
    made = made && pthread_mutex_init(&queue->lock, nullptr) == 0;
    pthread_t thread;
    made = made && pthread_create(&thread, nullptr, &commitThread, queue) == 0;
    if (made)
        apReceiver->commitThread = thread;
    else if (queue->doneFd >= 0)
        close(queue->doneFd);
    return made;
}

void stopCommits(Receiver *apReceiver)
{
    CommitQueue *queue = &apReceiver->queue;
    pthread_mutex_lock(&queue->lock);
    queue->stop = true;
    pthread_cond_signal(&queue->wake);
    pthread_mutex_unlock(&queue->lock);
    pthread_join(apReceiver->commitThread, nullptr);
    // The store is left within its bounds.
    tidyStore(queue->store, true);
    runCommits(apReceiver);
    close(queue->doneFd);
    pthread_mutex_destroy(&queue->lock);
    pthread_cond_destroy(&queue->wake);
}

void enqueuePost(Receiver *apReceiver, Request *apRequest)
{
    CommitQueue *queue = &apReceiver->queue;
    apRequest->stage = stageWaiting;
    apRequest->arrived = monotonicMilliseconds();
    apRequest->nextWaiting = nullptr;
    pthread_mutex_lock(&queue->lock);
    *queue->last = apRequest;
    queue->last = &apRequest->nextWaiting;
    pthread_cond_signal(&queue->wake);
    pthread_mutex_unlock(&queue->lock);
}

bool runCommits(Receiver *apReceiver)
{
    CommitQueue *queue = &apReceiver->queue;
    uint64_t ended = 0;
    while (read(queue->doneFd, &ended, sizeof ended) < 0 && errno == EINTR) {
    }
    // Posts still waiting when their time is up, behind a commit that has
    // not ended: 503 now, so that no post waits past its bound.
    long long time = monotonicMilliseconds();
    Request *overdue = nullptr;
    Request **overdueLast = &overdue;
    pthread_mutex_lock(&queue->lock);
    Group *done = queue->done;
    queue->done = nullptr;
    queue->doneLast = &queue->done;
    while (queue->first != nullptr && queue->first->arrived + kCommitMilliseconds <= time) {
        *overdueLast = queue->first;
        overdueLast = &queue->first->nextWaiting;
        queue->first = queue->first->nextWaiting;
    }
    *overdueLast = nullptr;
    if (queue->first == nullptr)
        queue->last = &queue->first;
    pthread_mutex_unlock(&queue->lock);
    takeLastKept(apReceiver);

    bool answered = done != nullptr || overdue != nullptr;
    while (done != nullptr) {
        Group *next = done->next;
        answerGroup(apReceiver, done);
        free(done);
        done = next;
    }
    size_t late = 0;
    for (Request *request = overdue; request != nullptr; ++late) {
        Request *next = request->nextWaiting;
        ++apReceiver->counts.unavailable;
        resume(request, false);
        request = next;
    }
    if (late > 0)
        logLine("%zu post%s waited %lld s behind a commit that has not ended, answered 503", late,
                late == 1 ? "" : "s", kCommitMilliseconds / 1000);
    return answered;
}

bool commitsPending(Receiver *apReceiver)
{
    CommitQueue *queue = &apReceiver->queue;
    pthread_mutex_lock(&queue->lock);
    bool pending = queue->first != nullptr || queue->committing || queue->done != nullptr;
    pthread_mutex_unlock(&queue->lock);
    return pending;
}

long long untilOverdue(Receiver *apReceiver)
{
    CommitQueue *queue = &apReceiver->queue;
    pthread_mutex_lock(&queue->lock);
    long long left = queue->first != nullptr ? queue->first->arrived + kCommitMilliseconds - monotonicMilliseconds()
                                             : -1;
    pthread_mutex_unlock(&queue->lock);
    return left < 0 && queue->first != nullptr ? 0 : left;
}

bool storeAnswersNow(Receiver *apReceiver)
{
    pthread_mutex_lock(&apReceiver->queue.lock);
    bool answers = apReceiver->queue.storeAnswers;
    pthread_mutex_unlock(&apReceiver->queue.lock);
    return answers;
}
