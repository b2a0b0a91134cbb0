#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "receiver_state.h"

namespace {

// Appends to apText as printf would, never past aSize.
__attribute__((format(printf, 4, 5))) void append(char *apText, size_t aSize, size_t *apLength,
                                                  const char *apFormat, ...)
{
    if (*apLength >= aSize)
        return;
    va_list arguments;
    va_start(arguments, apFormat);
    int added = vsnprintf(apText + *apLength, aSize - *apLength, apFormat, arguments);
    va_end(arguments);
    *apLength = added < 0 ? aSize : *apLength + static_cast<size_t>(added);
}

// The counts in the text format Prometheus scrapes.
size_t writeMetrics(const Receiver *apReceiver, char *apText, size_t aSize)
{
    const Counts *counts = &apReceiver->counts;
    size_t length = 0;
    append(apText, aSize, &length,
           "# HELP sealpost_posts_total Posts answered, by what became of them.\n"
           "# TYPE sealpost_posts_total counter\n"
           "sealpost_posts_total{result=\"kept\"} %llu\n"
           "sealpost_posts_total{result=\"duplicate\"} %llu\n"
           "sealpost_posts_total{result=\"not_opened\"} %llu\n"
           "sealpost_posts_total{result=\"forged\"} %llu\n"
           "sealpost_posts_total{result=\"refused\"} %llu\n"
           "sealpost_posts_total{result=\"unavailable\"} %llu\n"
           "# HELP sealpost_commit_seconds How long a commit of a group of posts took.\n"
           "# TYPE sealpost_commit_seconds histogram\n",
           counts->kept, counts->duplicate, counts->notOpened, counts->forged, counts->refused, counts->unavailable);
    for (size_t bucket = 0; bucket < kBucketCount; ++bucket)
        append(apText, aSize, &length, "sealpost_commit_seconds_bucket{le=\"%g\"} %llu\n", kCommitBuckets[bucket],
               counts->commitBuckets[bucket]);
    append(apText, aSize, &length,
           "sealpost_commit_seconds_bucket{le=\"+Inf\"} %llu\n"
           "sealpost_commit_seconds_sum %.6f\n"
           "sealpost_commit_seconds_count %llu\n"
           "# HELP sealpost_connections Connections open on the port posts come to.\n"
           "# TYPE sealpost_connections gauge\n"
           "sealpost_connections %zu\n"
           "# HELP sealpost_decryptions_total Sealed texts decrypted, under every key tried.\n"
           "# TYPE sealpost_decryptions_total counter\n"
           "sealpost_decryptions_total %llu\n",
           counts->commits, counts->commitSeconds, counts->commits, apReceiver->connectionCount, counts->decryptions);
    append(apText, aSize, &length,
           "# HELP sealpost_device_last_kept_timestamp_seconds When a post of the device was last kept, 0: never.\n"
           "# TYPE sealpost_device_last_kept_timestamp_seconds gauge\n");
    for (size_t i = 0; i < apReceiver->lastKeptCount; ++i)
        if (apReceiver->lastKept[i].known)
            append(apText, aSize, &length, "sealpost_device_last_kept_timestamp_seconds{device=\"%s\"} %lld\n",
                   apReceiver->lastKept[i].device, apReceiver->lastKept[i].seconds);
    return length < aSize ? length : aSize;
}

MHD_Result answerWatching(MHD_Connection *apConnection, unsigned aStatus, const char *apType, const char *apText,
                          size_t aLength)
{
    return queuePlain(apConnection, aStatus, apType, apText, aLength, MHD_HTTP_METHOD_GET, nullptr);
}

// The watching port: GET /metrics and GET /healthz, nothing else.
} // namespace

MHD_Result watch(void *apClosure, MHD_Connection *apConnection, const char *apUrl, const char *apMethod,
                 const char *, const char *, size_t *apUploadSize, void **)
{
    Receiver *receiver = static_cast<Receiver *>(apClosure);
    // A body, which no GET here has, is read and let go.
    *apUploadSize = 0;
    if (strcmp(apMethod, MHD_HTTP_METHOD_GET) != 0 && strcmp(apMethod, MHD_HTTP_METHOD_HEAD) != 0) {
        constexpr char kOnlyGet[] = "only GET /metrics and GET /healthz are answered here\n";
        return answerWatching(apConnection, MHD_HTTP_METHOD_NOT_ALLOWED, kPlainText, kOnlyGet, sizeof kOnlyGet - 1);
    }
    if (strcmp(apUrl, "/metrics") == 0) {
        // Room for a line a keyed device: its name of deviceNameMax at most,
        // and the longest number.
        size_t size = 2048 + receiver->lastKeptCount * (64 + deviceNameMax + 24);
        char *text = static_cast<char *>(malloc(size));
        if (text == nullptr)
            return MHD_NO;
        size_t length = writeMetrics(receiver, text, size);
        MHD_Result queued =
            answerWatching(apConnection, MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8", text, length);
        free(text);
        return queued;
    }
    if (strcmp(apUrl, "/healthz") == 0) {
        constexpr char kAnswers[] = "the store answers\n";
        constexpr char kSilent[] = "the store does not answer\n";
        if (storeAnswersNow(receiver))
            return answerWatching(apConnection, MHD_HTTP_OK, kPlainText, kAnswers, sizeof kAnswers - 1);
        return answerWatching(apConnection, MHD_HTTP_SERVICE_UNAVAILABLE, kPlainText, kSilent, sizeof kSilent - 1);
    }
    constexpr char kNotHere[] = "only /metrics and /healthz are here\n";
    return answerWatching(apConnection, MHD_HTTP_NOT_FOUND, kPlainText, kNotHere, sizeof kNotHere - 1);
}

