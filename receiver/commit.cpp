#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "receiver_state.h"

namespace {

// How often an idle commit thread asks whether the store answers, so that
// /healthz is never older than this.
constexpr long long kCheckMilliseconds = 5000;

timespec inMilliseconds(long long aMilliseconds)
{
    timespec time = now();
    long long nanoseconds = time.tv_nsec + (aMilliseconds % 1000) * 1000000;
    time.tv_sec += static_cast<time_t>(aMilliseconds / 1000 + nanoseconds / 1000000000);
    time.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return time;
}

// The store is the commit thread's alone: the loop hands it a group and is
// told through doneFd when the group is kept, and reads whether the store
// answers from what the thread last found.
void *commitThread(void *apQueue)
{
    CommitQueue *queue = static_cast<CommitQueue *>(apQueue);
    pthread_mutex_lock(&queue->lock);
    long long checked = monotonicMilliseconds();
    for (;;) {
        while (!queue->handed && !queue->stop) {
            long long left = checked + kCheckMilliseconds - monotonicMilliseconds();
            if (left > 0) {
                timespec until = inMilliseconds(left);
                pthread_cond_timedwait(&queue->wake, &queue->lock, &until);
                continue;
            }
            pthread_mutex_unlock(&queue->lock);
            bool answers = storeAnswers(queue->store);
            tidyStore(queue->store, false);
            pthread_mutex_lock(&queue->lock);
            queue->storeAnswers = answers;
            checked = monotonicMilliseconds();
        }
        if (!queue->handed)
            break;
        Post **posts = queue->posts;
        size_t count = queue->count;
        long long deadline = queue->deadline;
        queue->handed = false;
        pthread_mutex_unlock(&queue->lock);

        timespec started = now();
        StoreFault result = keepGroup(queue->store, posts, count, deadline);
        timespec ended = now();
        pthread_mutex_lock(&queue->lock);
        queue->result = result;
        queue->seconds = static_cast<double>(ended.tv_sec - started.tv_sec) +
                         static_cast<double>(ended.tv_nsec - started.tv_nsec) / 1e9;
        queue->done = true;
        queue->storeAnswers = !result.failed;
        checked = monotonicMilliseconds();
        pthread_mutex_unlock(&queue->lock);
        uint64_t one = 1;
        while (write(queue->doneFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        // After the group's answers can go out, so that no post waits for
        // what its own group left; what fails is tried after the next commit.
        tidyStore(queue->store, false);
        pthread_mutex_lock(&queue->lock);
    }
    pthread_mutex_unlock(&queue->lock);
    return nullptr;
}

void resume(Request *apRequest, bool aKept)
{
    apRequest->nextWaiting = nullptr;
    apRequest->stage = aKept ? stageKept : stageUnavailable;
    MHD_resume_connection(apRequest->connection);
}

// Every post of the group gets the outcome of its commit.
void answerGroup(Receiver *apReceiver, StoreFault aResult, double aSeconds)
{
    Counts *counts = &apReceiver->counts;
    ++counts->commits;
    counts->commitSeconds += aSeconds;
    for (size_t bucket = 0; bucket < kBucketCount; ++bucket)
        counts->commitBuckets[bucket] += aSeconds <= kCommitBuckets[bucket];
    if (aResult.failed)
        logLine("a commit of %zu post%s failed, answered 503: %s", apReceiver->committing,
                apReceiver->committing == 1 ? "" : "s", aResult.message);
    for (Request *request = apReceiver->committingFirst; request != nullptr;) {
        Request *next = request->nextWaiting;
        if (aResult.failed)
            ++counts->unavailable;
        else if (request->post.duplicate)
            ++counts->duplicate;
        else if (request->text != nullptr)
            ++counts->kept;
        else
            ++counts->notOpened;
        if (!aResult.failed && request->text == nullptr && !request->post.duplicate)
            deferLine(apReceiver, request);
        resume(request, !aResult.failed);
        request = next;
    }
    apReceiver->committingFirst = nullptr;
    apReceiver->committing = 0;
}

void handForming(Receiver *apReceiver)
{
    if (apReceiver->forming > apReceiver->groupCapacity) {
        size_t capacity = apReceiver->forming * 2;
        Post **grown = static_cast<Post **>(realloc(apReceiver->group, capacity * sizeof *grown));
        if (grown == nullptr)
            return; // tried again at the next turn, and answered 503 at the bound
        apReceiver->group = grown;
        apReceiver->groupCapacity = capacity;
    }
    size_t count = 0;
    for (Request *request = apReceiver->formingFirst; request != nullptr; request = request->nextWaiting)
        apReceiver->group[count++] = &request->post;
    CommitQueue *queue = &apReceiver->queue;
    pthread_mutex_lock(&queue->lock);
    queue->posts = apReceiver->group;
    queue->count = count;
    queue->deadline = apReceiver->formingFirst->arrived + kCommitMilliseconds;
    queue->handed = true;
    pthread_cond_signal(&queue->wake);
    pthread_mutex_unlock(&queue->lock);
    apReceiver->committingFirst = apReceiver->formingFirst;
    apReceiver->committing = count;
    apReceiver->formingFirst = nullptr;
    apReceiver->formingLast = &apReceiver->formingFirst;
    apReceiver->forming = 0;
}

// Posts still forming a group when their time is up, behind a commit that
// has not ended: 503 now, so that no post waits past its bound.
bool answerOverdue(Receiver *apReceiver)
{
    long long time = monotonicMilliseconds();
    size_t overdue = 0;
    while (apReceiver->formingFirst != nullptr && apReceiver->formingFirst->arrived + kCommitMilliseconds <= time) {
        Request *request = apReceiver->formingFirst;
        apReceiver->formingFirst = request->nextWaiting;
        --apReceiver->forming;
        ++apReceiver->counts.unavailable;
        resume(request, false);
        ++overdue;
    }
    if (apReceiver->formingFirst == nullptr)
        apReceiver->formingLast = &apReceiver->formingFirst;
    if (overdue > 0)
        logLine("%zu post%s waited %lld s behind a commit that has not ended, answered 503", overdue,
                overdue == 1 ? "" : "s", kCommitMilliseconds / 1000);
    return overdue > 0;
}

} // namespace

bool startCommits(Receiver *apReceiver)
{
    CommitQueue *queue = &apReceiver->queue;
    queue->store = &apReceiver->store;
    queue->storeAnswers = true;
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
    // A group it finished as it stopped gets its answers; posts never
    // handed over get 503.
    runCommits(apReceiver);
    for (Request *request = apReceiver->formingFirst; request != nullptr;) {
        Request *next = request->nextWaiting;
        ++apReceiver->counts.unavailable;
        resume(request, false);
        request = next;
    }
    apReceiver->formingFirst = nullptr;
    apReceiver->formingLast = &apReceiver->formingFirst;
    apReceiver->forming = 0;
    close(queue->doneFd);
    pthread_mutex_destroy(&queue->lock);
    pthread_cond_destroy(&queue->wake);
}

void enqueuePost(Receiver *apReceiver, Request *apRequest)
{
    apRequest->stage = stageWaiting;
    apRequest->arrived = monotonicMilliseconds();
    apRequest->nextWaiting = nullptr;
    *apReceiver->formingLast = apRequest;
    apReceiver->formingLast = &apRequest->nextWaiting;
    ++apReceiver->forming;
}

bool runCommits(Receiver *apReceiver)
{
    CommitQueue *queue = &apReceiver->queue;
    bool answered = false;
    uint64_t ended = 0;
    if (read(queue->doneFd, &ended, sizeof ended) == static_cast<ssize_t>(sizeof ended)) {
        pthread_mutex_lock(&queue->lock);
        bool done = queue->done;
        StoreFault result = queue->result;
        double seconds = queue->seconds;
        queue->done = false;
        pthread_mutex_unlock(&queue->lock);
        if (done)
            answerGroup(apReceiver, result, seconds);
        answered = done;
    }
    if (apReceiver->committingFirst == nullptr && apReceiver->formingFirst != nullptr && !queue->stop)
        handForming(apReceiver);
    return answerOverdue(apReceiver) || answered;
}

bool commitsPending(const Receiver *apReceiver)
{
    return apReceiver->committingFirst != nullptr || apReceiver->formingFirst != nullptr;
}

bool storeAnswersNow(Receiver *apReceiver)
{
    pthread_mutex_lock(&apReceiver->queue.lock);
    bool answers = apReceiver->queue.storeAnswers;
    pthread_mutex_unlock(&apReceiver->queue.lock);
    return answers;
}
