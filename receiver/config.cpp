#include "config.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>

#include <ini.h>

#include "serve.h"
#include "store.h"

namespace {

enum SettingKind { settingText, settingNumber, settingYesNo, settingAddress };

struct Setting {
    const char *name;
    SettingKind kind;
};

constexpr Setting kSettings[] = {
    {"listen", settingText},        {"key-file", settingText},       {"keys", settingText},
    {"master-key", settingText},    {"store", settingText},          {"password-file", settingText},
    {"trusted-proxy", settingAddress}, {"metrics", settingText},     {"unopened-limit", settingNumber},
    {"require-mac", settingYesNo},
};
constexpr size_t kSettingCount = std::size(kSettings);

// The values the file gives, for the whole process: the options point
// into it, and it is read once.
char gValues[16384];
size_t gValuesUsed = 0;

struct Reading {
    FILE *file;
    const char *path;
    int line;
    int lines[kSettingCount]; // where each setting was given; 0: not
    Config *config;
    int faultLine; // 0: none yet
};

__attribute__((format(printf, 3, 4))) void fault(Reading *apReading, int aLine, const char *apFormat, ...)
{
    if (apReading->faultLine != 0 && apReading->faultLine <= aLine)
        return;
    apReading->faultLine = aLine;
    Config *config = apReading->config;
    config->failed = true;
    int length = snprintf(config->message, sizeof config->message, "%s:%d: ", apReading->path, aLine);
    va_list arguments;
    va_start(arguments, apFormat);
    if (length > 0 && static_cast<size_t>(length) < sizeof config->message)
        vsnprintf(config->message + length, sizeof config->message - length, apFormat, arguments);
    va_end(arguments);
}

const char *keep(const char *apValue)
{
    size_t size = strlen(apValue) + 1;
    if (size > sizeof gValues - gValuesUsed)
        return nullptr;
    char *kept = gValues + gValuesUsed;
    memcpy(kept, apValue, size);
    gValuesUsed += size;
    return kept;
}

const char **textOf(Config *apConfig, size_t aSetting)
{
    const char **texts[] = {&apConfig->listen, &apConfig->keyFile, &apConfig->keys, &apConfig->masterKey,
                            &apConfig->store, &apConfig->passwordFile, &apConfig->trustedProxy, &apConfig->metrics};
    return aSetting < std::size(texts) ? texts[aSetting] : nullptr;
}

// libinih's handler: one "name = value" line.
int takeSetting(void *apUser, const char *, const char *apName, const char *apValue)
{
    auto *reading = static_cast<Reading *>(apUser);
    int line = reading->line;
    size_t setting = 0;
    while (setting < kSettingCount && strcmp(kSettings[setting].name, apName) != 0)
        ++setting;
    if (setting == kSettingCount) {
        fault(reading, line, "unknown setting %s", apName);
        return 1;
    }
    if (reading->lines[setting] != 0) {
        fault(reading, line, "%s is given twice, first on line %d", apName, reading->lines[setting]);
        return 1;
    }
    reading->lines[setting] = line;
    if (*apValue == '\0') {
        fault(reading, line, "%s needs a value", apName);
        return 1;
    }
    Config *config = reading->config;
    char peer[peerSize];
    char *end = nullptr;
    switch (kSettings[setting].kind) {
    case settingNumber:
        errno = 0;
        config->unopenedLimit = strtoll(apValue, &end, 10);
        if (errno != 0 || *end != '\0' || config->unopenedLimit < 0) {
            config->unopenedLimit = -1;
            fault(reading, line, "%s takes a number of bytes, not %s", apName, apValue);
        }
        return 1;
    case settingYesNo:
        config->requireMac = strcmp(apValue, "yes") == 0;
        if (!config->requireMac && strcmp(apValue, "no") != 0)
            fault(reading, line, "%s takes yes or no, not %s", apName, apValue);
        return 1;
    case settingAddress:
        if (!normalAddress(apValue, peer)) {
            fault(reading, line, "%s takes an IPv4 or IPv6 address, not %s", apName, apValue);
            return 1;
        }
        break;
    case settingText:
        break;
    }
    *textOf(config, setting) = keep(apValue);
    if (*textOf(config, setting) == nullptr)
        fault(reading, line, "the settings are too long");
    return 1;
}

// libinih's reader: a line as fgets reads it, refused when it is longer
// than libinih takes, or opens a section, and without its indent, which
// libinih would take for the rest of the line before.
char *readLine(char *apLine, int aSize, void *apUser)
{
    auto *reading = static_cast<Reading *>(apUser);
    if (reading->faultLine != 0 || fgets(apLine, aSize, reading->file) == nullptr)
        return nullptr;
    ++reading->line;
    size_t length = strlen(apLine);
    if ((length == 0 || apLine[length - 1] != '\n') && !feof(reading->file)) {
        fault(reading, reading->line, "the line is longer than %d characters", aSize - 2);
        return nullptr;
    }
    size_t indent = strspn(apLine, " \t");
    memmove(apLine, apLine + indent, length - indent + 1);
    if (apLine[0] == '[') {
        fault(reading, reading->line, "sections are not read: every setting stands on its own");
        return nullptr;
    }
    return apLine;
}

} // namespace

Config readConfig(const char *apPath, bool aMustExist)
{
    Config config = {};
    config.unopenedLimit = -1;
    // Non-blocking, so that a FIFO in its place is refused, not waited on.
    int fd = open(apPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT && !aMustExist)
        return config;
    struct stat status;
    bool regular = fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    FILE *file = regular && fcntl(fd, F_SETFL, 0) == 0 ? fdopen(fd, "r") : nullptr;
    if (file == nullptr) {
        config.failed = true;
        snprintf(config.message, sizeof config.message, "cannot read the configuration %s: %s", apPath,
                 fd >= 0 && !regular ? "not a regular file" : strerror(errno));
        if (fd >= 0)
            close(fd);
        return config;
    }
    config.path = keep(apPath);
    Reading reading = {file, apPath, 0, {}, &config, 0};
    int result = ini_parse_stream(readLine, &reading, takeSetting, &reading);
    if (ferror(file))
        fault(&reading, reading.line, "cannot read: %s", strerror(errno));
    fclose(file);
    if (result > 0)
        fault(&reading, result, "not a setting: each line is name = value");
    else if (result < 0 && !config.failed)
        fault(&reading, reading.line, "cannot read it: out of memory");
    constexpr size_t kKeyFile = 1, kKeys = 2, kMasterKey = 3;
    int choice = reading.lines[kKeys] > reading.lines[kMasterKey] ? reading.lines[kKeys] : reading.lines[kMasterKey];
    if (reading.lines[kKeyFile] != 0 && choice != 0)
        fault(&reading, reading.lines[kKeyFile] > choice ? reading.lines[kKeyFile] : choice,
              "key-file is the one key for all; keys and master-key choose one per device");
    if (config.path == nullptr && !config.failed)
        fault(&reading, 0, "the settings are too long");
    return config;
}
