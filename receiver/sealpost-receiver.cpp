// sealpost-receiver [--listen ADDR:PORT] [--key-file FILE | --keys DIR
// --master-key FILE] [--store URL] ...: opens the sealed texts devices post
// and keeps them. Its subcommands read the store: export prints what is
// kept, reopen opens what did not open with another key; derive-key prints
// a device's key under the master key.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iterator>

#include <openssl/crypto.h>

#include "copy.h"
#include "devices.h"
#include "check.h"
#include "config.h"
#include "form.h"
#include "json.h"
#include "key_file.h"
#include "keys.h"
#include "serve.h"
#include "store.h"
#include "systemd.h"

namespace {

constexpr char kProgram[] = "sealpost-receiver";
constexpr long long kUnopenedLimit = 64LL << 20;
constexpr int kBacklog = 1024;
// Thousands: many boards behind one NAT share one address, so there is no
// bound per address, only this one in all.
constexpr unsigned kConnections = 4000;
constexpr char kPackageState[] = "/var/lib/sealpost-receiver";
// The key the unit hands over as the credential sealpost-key.
constexpr char kUnitKey[] = "/etc/sealpost/key";
// What the receiver takes, and check with it, so that a reload checks the
// options the receiver runs with.
constexpr char kReceiverOptions[] = "--listen --key-file --keys --master-key --store --unopened-limit "
                                    "--trusted-proxy --metrics --require-mac";
constexpr char kConfigFile[] = "/etc/sealpost/receiver.conf";
// A path, with "sqlite:" or "/sealpost-key" added to it.
constexpr size_t kPathSize = PATH_MAX + 32;

enum { usageStatus = 2 };

void printUsage(FILE *apStream)
{
    fprintf(apStream,
            "%s [--listen ADDR:PORT] [--key-file FILE | [--keys DIR] [--master-key FILE]] [--store URL]\n"
            "    [--unopened-limit BYTES] [--trusted-proxy ADDR] [--metrics ADDR:PORT] [--require-mac]\n"
            "%s export [--store URL] [--since TIME] [--device NAME] [--authentic]\n"
            "%s export --not-opened [--store URL]\n"
            "%s reopen --key-file FILE [--store URL]\n"
            "%s derive-key --master-key FILE DEVICE\n"
            "%s devices [--store URL] [--keys DIR] [--silent-for DURATION]\n"
            "%s copy --from URL --to URL\n"
            "%s check [the receiver's options]\n"
            "%s --help | --version\n"
            "Every command but derive-key takes --config FILE (else %s, where there is one)\n"
            "and --password-file FILE, a PostgreSQL password file.\n",
            kProgram, kProgram, kProgram, kProgram, kProgram, kProgram, kProgram, kProgram, kProgram, kConfigFile);
}

struct Options {
    const char *listen;
    const char *keyFile;
    const char *store;
    const char *since;
    long long unopenedLimit;
    const char *keys;
    const char *masterKey;
    const char *trustedProxy;
    const char *metrics;
    const char *device;
    bool notOpened;
    bool requireMac;
    bool authentic;
    bool ok;
    const char *silentFor;
    const char *from;
    const char *to;
    const char *config;       // the configuration file read; null: none
    const char *passwordFile; // libpq's, for PostgreSQL
    bool keysGiven;           // the command line chose the keys, not the file
};

int usageError(const char *apFormat, const char *apArgument)
{
    fprintf(stderr, "%s: ", kProgram);
    fprintf(stderr, apFormat, apArgument);
    fputc('\n', stderr);
    printUsage(stderr);
    return usageStatus;
}

bool takes(const char *apAllowed, const char *apName)
{
    const char *found = strstr(apAllowed, apName);
    size_t length = strlen(apName);
    return found != nullptr && (found[length] == ' ' || found[length] == '\0');
}

// The file's settings, where the command line gave none; a choice of keys
// on the command line replaces the file's whole choice.
void mergeConfig(Config aConfig, const char *apAllowed, Options *apOptions)
{
    const char *names[] = {"--listen", "--store", "--password-file", "--trusted-proxy", "--metrics",
                           "--key-file", "--keys", "--master-key"};
    const char **options[] = {&apOptions->listen, &apOptions->store, &apOptions->passwordFile,
                              &apOptions->trustedProxy, &apOptions->metrics, &apOptions->keyFile,
                              &apOptions->keys, &apOptions->masterKey};
    const char *configured[] = {aConfig.listen, aConfig.store, aConfig.passwordFile, aConfig.trustedProxy,
                                aConfig.metrics, aConfig.keyFile, aConfig.keys, aConfig.masterKey};
    constexpr size_t kKeyChoice = 5;
    for (size_t i = 0; i < std::size(names); ++i) {
        bool open = i < kKeyChoice ? *options[i] == nullptr : !apOptions->keysGiven;
        if (open && takes(apAllowed, names[i]))
            *options[i] = configured[i];
    }
    if (apOptions->unopenedLimit < 0 && takes(apAllowed, "--unopened-limit"))
        apOptions->unopenedLimit = aConfig.unopenedLimit;
    apOptions->requireMac = apOptions->requireMac || (aConfig.requireMac && takes(apAllowed, "--require-mac"));
    apOptions->config = aConfig.path;
}

// Reads "--name value" pairs, and the flags --not-opened, --require-mac and
// --authentic, from argv[aFirst] on; only the names in apAllowed
// ("--listen --key-file", say) are taken, and --config and --password-file
// always. Then the configuration file, --config's or the default one where
// there is one, sets what the command line did not.
Options readOptions(int argc, char **argv, int aFirst, const char *apAllowed, int *apStatus)
{
    Options options = {};
    options.unopenedLimit = -1;
    const char *configFile = nullptr;
    for (int i = aFirst; i < argc; i += 2) {
        const char *name = argv[i];
        bool always = strcmp(name, "--config") == 0 || strcmp(name, "--password-file") == 0;
        if (strncmp(name, "--", 2) != 0 || !(always || takes(apAllowed, name))) {
            *apStatus = usageError("unknown option %s", name);
            return options;
        }
        bool *flag = strcmp(name, "--not-opened") == 0   ? &options.notOpened
                     : strcmp(name, "--require-mac") == 0 ? &options.requireMac
                     : strcmp(name, "--authentic") == 0   ? &options.authentic
                                                          : nullptr;
        if (flag != nullptr) {
            *flag = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) {
            *apStatus = usageError("%s needs a value", name);
            return options;
        }
        const char *value = argv[i + 1];
        const char **text = nullptr;
        if (strcmp(name, "--listen") == 0)
            text = &options.listen;
        else if (strcmp(name, "--key-file") == 0)
            text = &options.keyFile;
        else if (strcmp(name, "--store") == 0)
            text = &options.store;
        else if (strcmp(name, "--since") == 0)
            text = &options.since;
        else if (strcmp(name, "--keys") == 0)
            text = &options.keys;
        else if (strcmp(name, "--master-key") == 0)
            text = &options.masterKey;
        else if (strcmp(name, "--trusted-proxy") == 0)
            text = &options.trustedProxy;
        else if (strcmp(name, "--metrics") == 0)
            text = &options.metrics;
        else if (strcmp(name, "--device") == 0)
            text = &options.device;
        else if (strcmp(name, "--silent-for") == 0)
            text = &options.silentFor;
        else if (strcmp(name, "--from") == 0)
            text = &options.from;
        else if (strcmp(name, "--to") == 0)
            text = &options.to;
        else if (strcmp(name, "--config") == 0)
            text = &configFile;
        else if (strcmp(name, "--password-file") == 0)
            text = &options.passwordFile;
        if (text != nullptr) {
            *text = value;
            continue;
        }
        char *end = nullptr;
        errno = 0;
        options.unopenedLimit = strtoll(value, &end, 10);
        if (errno != 0 || end == value || *end != '\0' || options.unopenedLimit < 0) {
            *apStatus = usageError("--unopened-limit takes a number of bytes, not %s", value);
            return options;
        }
    }
    options.keysGiven = options.keyFile != nullptr || options.keys != nullptr || options.masterKey != nullptr;
    // The unit hands the file over as a credential: the service's user may
    // not enter /etc/sealpost, which the guide makes root's.
    char handed[kPathSize] = "";
    const char *credentials = getenv("CREDENTIALS_DIRECTORY");
    if (configFile == nullptr && credentials != nullptr && *credentials != '\0')
        snprintf(handed, sizeof handed, "%s/sealpost-conf", credentials);
    if (*handed != '\0' && access(handed, F_OK) != 0)
        *handed = '\0';
    Config config = readConfig(configFile != nullptr ? configFile : *handed != '\0' ? handed : kConfigFile,
                               configFile != nullptr);
    if (config.failed) {
        fprintf(stderr, "%s: %s\n", kProgram, config.message);
        *apStatus = 1;
        return options;
    }
    mergeConfig(config, apAllowed, &options);
    if (options.listen == nullptr)
        options.listen = "0.0.0.0:80";
    if (options.unopenedLimit < 0)
        options.unopenedLimit = kUnopenedLimit;
    // libpq reads it there; the credential the unit hands over wins still.
    if (options.passwordFile != nullptr)
        setenv("PGPASSFILE", options.passwordFile, 1);
    options.ok = true;
    return options;
}

// The default store, in the state folder systemd gives the service, or the
// package's when run by hand.
const char *defaultStore(char *apBuffer, size_t aSize)
{
    const char *state = getenv("STATE_DIRECTORY");
    snprintf(apBuffer, aSize, "sqlite:%s/received.db", state != nullptr && *state != '\0' ? state : kPackageState);
    return apBuffer;
}

// Reads the key into apKey (keyFileBufferSize bytes); returns the exit
// status, 0 when it was read.
int readKey(const char *apPath, char *apKey, char *apPathBuffer, size_t aSize, const char **apUsedPath)
{
    if (apPath == nullptr) {
        const char *credentials = getenv("CREDENTIALS_DIRECTORY");
        if (credentials == nullptr || *credentials == '\0') {
            fprintf(stderr, "%s: no key: give --key-file FILE, or run under systemd with "
                            "LoadCredential=sealpost-key:FILE\n", kProgram);
            return 1;
        }
        snprintf(apPathBuffer, aSize, "%s/sealpost-key", credentials);
        apPath = apPathBuffer;
    }
    *apUsedPath = apPath;
    KeyFile read = readKeyFile(apPath, apKey);
    if (read.fault != keyFileOk) {
        reportKeyFileFault(kProgram, apPath, read);
        return 1;
    }
    return 0;
}

int openStoreOrSay(const char *apUrl, StoreAccess aAccess, long long aLimit, Store *apStore)
{
    char buffer[kPathSize];
    const char *url = apUrl != nullptr ? apUrl : defaultStore(buffer, sizeof buffer);
    StoreFault fault = openStore(url, aAccess, aLimit, apStore);
    if (fault.failed) {
        fprintf(stderr, "%s: %s\n", kProgram, fault.message);
        return 1;
    }
    return 0;
}

// A time in UTC as ISO 8601 writes it, or the start of one: 2026-12-08,
// 2026-12-08T18:00, 2026-12-08T18:00:00Z.
bool isTimePrefix(const char *apTime)
{
    constexpr char kShape[] = "0000-00-00T00:00:00Z";
    size_t length = strlen(apTime);
    if (length < 4 || length > sizeof kShape - 1)
        return false;
    for (size_t i = 0; i < length; ++i) {
        bool digit = apTime[i] >= '0' && apTime[i] <= '9';
        if (kShape[i] == '0' ? !digit : apTime[i] != kShape[i])
            return false;
    }
    return true;
}

int exportReceived(int argc, char **argv)
{
    int status = 0;
    Options options = readOptions(argc, argv, 2, "--store --since --device --not-opened --authentic", &status);
    if (!options.ok)
        return status;
    if (options.notOpened && (options.since != nullptr || options.device != nullptr || options.authentic))
        return usageError("%s counts every device's posts: it takes no --since, --device or --authentic",
                          "--not-opened");
    if (options.device != nullptr && !isDeviceName(options.device, strlen(options.device)))
        return usageError("a device's name is 1 to 64 of A-Z a-z 0-9 . _ -, not %s", options.device);
    if (options.since != nullptr && !isTimePrefix(options.since)) {
        fprintf(stderr, "%s: --since takes a time in UTC as ISO 8601, such as 2026-12-08 or "
                        "2026-12-08T18:00:00Z, not %s\n", kProgram, options.since);
        return usageStatus;
    }
    Store store;
    if (openStoreOrSay(options.store, storeToRead, 0, &store) != 0)
        return 1;
    StoreCursor cursor = {};
    StoreFault fault = {};
    NotOpenedRow count;
    while (options.notOpened && nextNotOpened(&store, &cursor, &count, &fault)) {
        fputs("{\"device\": ", stdout);
        if (count.device != nullptr)
            writeJsonString(stdout, count.device);
        else
            fputs("null", stdout);
        printf(", \"not_opened\": %lld, \"last\": ", count.count);
        writeJsonString(stdout, count.last);
        fputs("}\n", stdout);
    }
    ReceivedRow row;
    while (!options.notOpened &&
           nextReceived(&store, {options.since, options.device, options.authentic}, &cursor, &row, &fault)) {
        fputs("{\"received\": ", stdout);
        writeJsonString(stdout, row.receivedAt);
        fputs(", \"from\": ", stdout);
        writeJsonString(stdout, row.peer);
        if (row.device != nullptr) {
            fputs(", \"device\": ", stdout);
            writeJsonString(stdout, row.device);
        }
        printf(", \"authentic\": %s, \"text\": ", row.authentic ? "true" : "false");
        writeJsonString(stdout, row.text);
        fputs("}\n", stdout);
    }
    closeStore(&store);
    if (fault.failed) {
        fprintf(stderr, "%s: %s\n", kProgram, fault.message);
        return 1;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, strerror(errno));
        return 1;
    }
    return 0;
}

int reopen(int argc, char **argv)
{
    int status = 0;
    Options options = readOptions(argc, argv, 2, "--key-file --store", &status);
    if (!options.ok)
        return status;
    if (options.keyFile == nullptr || !options.keysGiven)
        return usageError("%s needs --key-file FILE, the other key to try", "reopen");
    char key[keyFileBufferSize];
    char path[kPathSize];
    const char *usedPath = nullptr;
    if (readKey(options.keyFile, key, path, sizeof path, &usedPath) != 0)
        return 1;
    Store store;
    status = openStoreOrSay(options.store, storeToReopen, kUnopenedLimit, &store);
    if (status == 0) {
        Reopened reopened = reopenUnopened(&store, key);
        closeStore(&store);
        printf("moved %zu of %zu unopened posts to received\n", reopened.moved, reopened.tried);
        if (reopened.fault.failed) {
            fprintf(stderr, "%s: %s\n", kProgram, reopened.fault.message);
            status = 1;
        }
    }
    OPENSSL_cleanse(key, sizeof key);
    return status;
}

// The devices the store has heard from and those the keys folder names.
int listDevices(int argc, char **argv)
{
    int status = 0;
    Options options = readOptions(argc, argv, 2, "--store --keys --master-key --key-file --silent-for", &status);
    if (!options.ok)
        return status;
    long long silent = -1;
    if (options.silentFor != nullptr && !readDuration(options.silentFor, &silent))
        return usageError("--silent-for takes a whole number with s, m, h or d, such as 90s, 30m, 1h or 2d, not %s",
                          options.silentFor);
    // Only the folder names devices: one key for all, or a master key,
    // names none.
    KeyRing ring = {};
    if (options.keys != nullptr) {
        KeysFault fault = loadKeyRing({nullptr, options.keys, nullptr}, &ring);
        if (fault.failed) {
            fprintf(stderr, "%s: %s\n", kProgram, fault.message);
            return 1;
        }
    }
    Store store;
    status = openStoreOrSay(options.store, storeToRead, 0, &store);
    if (status == 0) {
        status = printDevices(&store, &ring, silent);
        closeStore(&store);
    }
    freeKeyRing(&ring);
    return status;
}

// Every row of one store into another, each once.
int copyStores(int argc, char **argv)
{
    int status = 0;
    Options options = readOptions(argc, argv, 2, "--from --to", &status);
    if (!options.ok)
        return status;
    if (options.from == nullptr || options.to == nullptr)
        return usageError("%s needs --from URL and --to URL, the store to read and the one to keep in", "copy");
    Store from;
    Store to;
    if (openStoreOrSay(options.from, storeToRead, 0, &from) != 0)
        return 1;
    status = openStoreOrSay(options.to, storeToKeep, kUnopenedLimit, &to);
    if (status == 0) {
        status = copyStore(&from, &to);
        closeStore(&to);
    }
    closeStore(&from);
    return status;
}

// A listening TCP socket on "ADDR:PORT" or "[ADDR]:PORT"; -1 after a message.
int listenOn(const char *apAddress)
{
    char host[64];
    const char *colon = strrchr(apAddress, ':');
    size_t hostLength = colon != nullptr ? static_cast<size_t>(colon - apAddress) : 0;
    char *end = nullptr;
    long port = colon != nullptr ? strtol(colon + 1, &end, 10) : 0;
    bool bracketed = hostLength >= 2 && apAddress[0] == '[' && apAddress[hostLength - 1] == ']';
    if (bracketed) {
        apAddress += 1;
        hostLength -= 2;
    }
    sockaddr_storage address = {};
    socklen_t size = 0;
    bool valid = colon != nullptr && hostLength < sizeof host && end != colon + 1 && *end == '\0' && port > 0 &&
                 port < 65536;
    if (valid) {
        memcpy(host, apAddress, hostLength);
        host[hostLength] = '\0';
        auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
        if (!bracketed && inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<uint16_t>(port));
            size = sizeof *v4;
        } else if (bracketed && inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<uint16_t>(port));
            size = sizeof *v6;
        } else {
            valid = false;
        }
    }
    if (!valid) {
        fprintf(stderr, "%s: --listen takes ADDR:PORT or [ADDR]:PORT, such as 0.0.0.0:80, not %s\n", kProgram,
                colon != nullptr || bracketed ? apAddress - bracketed : apAddress);
        return -1;
    }
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int on = 1;
    if (fd >= 0)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(fd, kBacklog) != 0) {
        fprintf(stderr, "%s: cannot listen on %s: %s\n", kProgram, colon != nullptr ? apAddress - bracketed : "",
                strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// As many connections as the descriptors allow, up to kConnections.
unsigned connectionLimit(void)
{
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) != 0)
        return 1000;
    if (files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    // Room for the store, the log and libmicrohttpd's own descriptors, and
    // for the connections that come while the longest idle ones go.
    rlim_t usable = files.rlim_cur > 128 ? files.rlim_cur - 128 : 1;
    return usable < kConnections ? static_cast<unsigned>(usable) : kConnections;
}

// The keys the options name; without any, the key systemd hands over, or
// by hand the one the unit would hand over, so that check and a receiver
// started by hand read what the service reads.
int readKeys(Options aOptions, char *apPath, size_t aSize, KeySettings *apSettings, KeyRing *apRing)
{
    if (aOptions.keyFile != nullptr && (aOptions.keys != nullptr || aOptions.masterKey != nullptr))
        return usageError("%s: --key-file is the one key for all; --keys and --master-key choose one per device",
                          "the keys");
    *apSettings = {aOptions.keyFile, aOptions.keys, aOptions.masterKey};
    if (aOptions.keyFile == nullptr && aOptions.keys == nullptr && aOptions.masterKey == nullptr) {
        const char *credentials = getenv("CREDENTIALS_DIRECTORY");
        if (credentials != nullptr && *credentials != '\0') {
            snprintf(apPath, aSize, "%s/sealpost-key", credentials);
        } else if (access(kUnitKey, F_OK) == 0) {
            snprintf(apPath, aSize, "%s", kUnitKey);
        } else {
            fprintf(stderr, "%s: no key: give --key-file FILE or --keys DIR, put it in %s, or run under systemd "
                            "with LoadCredential=sealpost-key:FILE\n", kProgram, kUnitKey);
            return 1;
        }
        apSettings->keyFile = apPath;
    }
    KeysFault fault = loadKeyRing(*apSettings, apRing);
    if (fault.failed) {
        fprintf(stderr, "%s: %s\n", kProgram, fault.message);
        return 1;
    }
    return 0;
}

int receive(int argc, char **argv)
{
    int status = 0;
    Options options = readOptions(argc, argv, 1, kReceiverOptions, &status);
    if (!options.ok)
        return status;
    char proxy[peerSize] = "";
    if (options.trustedProxy != nullptr && !normalAddress(options.trustedProxy, proxy))
        return usageError("--trusted-proxy takes an IPv4 or IPv6 address, not %s", options.trustedProxy);
    char path[kPathSize];
    KeySettings keys;
    KeyRing ring;
    status = readKeys(options, path, sizeof path, &keys, &ring);
    if (status != 0)
        return status;
    Store store;
    status = openStoreOrSay(options.store, storeToKeep, options.unopenedLimit, &store);
    int listening = -1;
    int watching = -1;
    bool fromSystemd = false;
    if (status == 0) {
        int sockets = socketsFromSystemd();
        if (sockets > 1) {
            fprintf(stderr, "%s: systemd passed %d sockets; the receiver listens on one\n", kProgram, sockets);
            status = 1;
        } else if (sockets == 1) {
            listening = systemdFirstSocket;
            fromSystemd = true;
            fcntl(listening, F_SETFL, fcntl(listening, F_GETFL) | O_NONBLOCK);
        } else {
            listening = listenOn(options.listen);
            status = listening < 0 ? 1 : 0;
        }
    }
    if (status == 0 && options.metrics != nullptr) {
        watching = listenOn(options.metrics);
        status = watching < 0 ? 1 : 0;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    int signalFd = -1;
    if (status == 0) {
        signal(SIGPIPE, SIG_IGN);
        sigprocmask(SIG_BLOCK, &signals, nullptr);
        signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
        if (signalFd < 0) {
            fprintf(stderr, "%s: cannot watch for signals: %s\n", kProgram, strerror(errno));
            status = 1;
        }
    }
    if (status == 0) {
        char where[kPathSize];
        describeStore(&store, where, sizeof where);
        fprintf(stderr, "%s: listening on %s, keeping posts in %s\n", kProgram,
                fromSystemd ? "the socket systemd passed" : options.listen, where);
        ServeSettings settings = {listening, watching, signalFd, keys, ring, store, connectionLimit(), {},
                                  options.requireMac};
        memcpy(settings.trustedProxy, proxy, sizeof proxy);
        status = serve(settings);
        // serve closed them, and freed the keys.
        listening = -1;
        watching = -1;
        ring = {};
    }
    if (signalFd >= 0)
        close(signalFd);
    if (listening >= 0)
        close(listening);
    if (watching >= 0)
        close(watching);
    if (store.db != nullptr || store.pg != nullptr)
        closeStore(&store);
    freeKeyRing(&ring);
    return status;
}

int check(int argc, char **argv)
{
    int status = 0;
    // The receiver's own options, so that the unit's reload can check those
    // the running receiver was started with.
    Options options = readOptions(argc, argv, 2, kReceiverOptions, &status);
    if (!options.ok)
        return status;
    char proxy[peerSize];
    if (options.trustedProxy != nullptr && !normalAddress(options.trustedProxy, proxy)) {
        fprintf(stderr, "%s: --trusted-proxy takes an IPv4 or IPv6 address, not %s\n", kProgram,
                options.trustedProxy);
        return 1;
    }
    char path[kPathSize];
    KeySettings keys;
    KeyRing ring;
    status = readKeys(options, path, sizeof path, &keys, &ring);
    if (status != 0)
        return status;
    char buffer[kPathSize];
    const char *store = options.store != nullptr ? options.store : defaultStore(buffer, sizeof buffer);
    status = printCheck(kProgram, {options.config, keys, &ring, store});
    freeKeyRing(&ring);
    return status;
}

int printDerivedKey(int argc, char **argv)
{
    if (argc != 5 || strcmp(argv[2], "--master-key") != 0)
        return usageError("%s takes --master-key FILE DEVICE", "derive-key");
    const char *device = argv[4];
    if (!isDeviceName(device, strlen(device)))
        return usageError("a device's name is 1 to 64 of A-Z a-z 0-9 . _ -, not %s", device);
    KeyRing ring;
    KeysFault fault = loadKeyRing({nullptr, nullptr, argv[3]}, &ring);
    if (fault.failed) {
        fprintf(stderr, "%s: %s\n", kProgram, fault.message);
        return 1;
    }
    char key[derivedKeySize];
    bool derived = deriveKey(ring.master, device, key);
    freeKeyRing(&ring);
    if (!derived) {
        fprintf(stderr, "%s: cannot derive the key: out of memory\n", kProgram);
        return 1;
    }
    bool written = printf("%s\n", key) > 0 && fflush(stdout) == 0;
    OPENSSL_cleanse(key, sizeof key);
    if (!written) {
        fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        printUsage(stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", kProgram, SEALPOST_VERSION);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "export") == 0)
        return exportReceived(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "reopen") == 0)
        return reopen(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "check") == 0)
        return check(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "derive-key") == 0)
        return printDerivedKey(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "devices") == 0)
        return listDevices(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "copy") == 0)
        return copyStores(argc, argv);
    return receive(argc, argv);
}
