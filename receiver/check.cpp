#include "check.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

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
    char where[kLineSize];
    // An SQLite file not there yet is one the receiver makes as it starts.
    constexpr char kSqlite[] = "sqlite:";
    struct stat file;
    const char *path = aSettings.store + sizeof kSqlite - 1;
    bool unmade = strncmp(aSettings.store, kSqlite, sizeof kSqlite - 1) == 0 && stat(path, &file) != 0 &&
                  errno == ENOENT;
    if (unmade) {
        snprintf(where, sizeof where, "%s", path);
    } else {
        Store store;
        StoreFault fault = openStore(aSettings.store, storeToRead, 0, &store);
        if (fault.failed) {
            fprintf(stderr, "%s: %s\n", apProgram, fault.message);
            return 1;
        }
        describeStore(&store, where, sizeof where);
        bool answers = storeAnswers(&store);
        closeStore(&store);
        if (!answers) {
            fprintf(stderr, "%s: the store %s does not answer as a store of the receiver's\n", apProgram, where);
            return 1;
        }
    }

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
    append(line, unmade ? ", made when the receiver first starts\n" : " answers\n");
    if (fputs(line, stdout) == EOF || fflush(stdout) != 0) {
        fprintf(stderr, "%s: cannot write to standard output: %s\n", apProgram, strerror(errno));
        return 1;
    }
    return 0;
}
