#include "check.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "store.h"

namespace {

constexpr size_t kLineSize = 2 * PATH_MAX + 512;

void append(char *apLine, const char *apText)
{
    size_t used = strlen(apLine);
    snprintf(apLine + used, kLineSize - used, "%s", apText);
}

void appendCount(char *apLine, size_t aCount, const char *apOne, const char *apMany)
{
    char count[64];
    snprintf(count, sizeof count, "%zu %s", aCount, aCount == 1 ? apOne : apMany);
    append(apLine, count);
}

} // namespace

int printCheck(const char *apProgram, CheckSettings aSettings)
{
    Store store;
    StoreFault fault = openStore(aSettings.store, storeToRead, 0, &store);
    if (fault.failed) {
        fprintf(stderr, "%s: %s\n", apProgram, fault.message);
        return 1;
    }
    char where[kLineSize];
    describeStore(&store, where, sizeof where);
    closeStore(&store);

    char line[kLineSize] = "";
    append(line, aSettings.config != nullptr ? aSettings.config : "no configuration file");
    append(line, ": ");
    const KeyRing *ring = aSettings.ring;
    if (ring->single != nullptr) {
        append(line, "the key file ");
        append(line, aSettings.keys.keyFile);
    }
    if (aSettings.keys.keysDir != nullptr) {
        appendCount(line, ring->deviceCount, "device", "devices");
        append(line, ", ");
        appendCount(line, ring->keyCount, "key", "keys");
    }
    if (ring->master != nullptr)
        append(line, aSettings.keys.keysDir != nullptr ? ", the master key" : "the master key");
    append(line, "; store ");
    append(line, where);
    append(line, " answers\n");
    if (fputs(line, stdout) == EOF || fflush(stdout) != 0) {
        fprintf(stderr, "%s: cannot write to standard output: %s\n", apProgram, strerror(errno));
        return 1;
    }
    return 0;
}
