#include "key_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

namespace {

// Reads until apBuffer is full or the file ends; returns the bytes read, or
// -1 with errno set.
ssize_t readAll(int fd, char *apBuffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t got = read(fd, apBuffer + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

KeyFile refuse(char *apKey, KeyFile aResult)
{
    OPENSSL_cleanse(apKey, keyFileBufferSize);
    return aResult;
}

} // namespace

KeyFile readKeyFile(const char *apPath, char *apKey)
{
    return readKeyFileOf(apPath, apKey, false);
}

KeyFile readKeyFileOf(const char *apPath, char *apKey, bool aRegularOnly)
{
    // Opened without waiting, a FIFO or a device cannot hold the caller up
    // before it is refused.
    int fd = open(apPath, O_RDONLY | O_CLOEXEC | (aRegularOnly ? O_NONBLOCK : 0));
    if (fd < 0)
        return refuse(apKey, {keyFileUnreadable, 0, errno});
    struct stat status;
    if (aRegularOnly && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        close(fd);
        return refuse(apKey, {keyFileNotRegular, 0, 0});
    }
    // One byte more than the longest key with its line break tells a file
    // that is too long from one that just fits.
    ssize_t got = readAll(fd, apKey, keyFileBufferSize);
    int error = errno;
    close(fd);
    if (got < 0)
        return refuse(apKey, {keyFileUnreadable, 0, error});
    size_t length = static_cast<size_t>(got);
    if (length == keyFileBufferSize)
        return refuse(apKey, {keyFileTooLong, 0, 0});
    if (length > 0 && apKey[length - 1] == '\n')
        length -= length > 1 && apKey[length - 2] == '\r' ? 2 : 1;
    if (length > keyFileMaxBytes)
        return refuse(apKey, {keyFileTooLong, 0, 0});
    if (length == 0)
        return refuse(apKey, {keyFileEmpty, 0, 0});
    const char *zero = static_cast<const char *>(memchr(apKey, '\0', length));
    if (zero != nullptr)
        return refuse(apKey, {keyFileZeroByte, static_cast<size_t>(zero - apKey) + 1, 0});
    OPENSSL_cleanse(apKey + length, keyFileBufferSize - length);
    apKey[length] = '\0';
    return {keyFileOk, 0, 0};
}

void describeKeyFileFault(const char *apPath, KeyFile aResult, char *apText, size_t aSize)
{
    switch (aResult.fault) {
    case keyFileUnreadable:
        snprintf(apText, aSize, "cannot read key file %s: %s", apPath, strerror(aResult.error));
        return;
    case keyFileEmpty:
        snprintf(apText, aSize, "key file %s is empty", apPath);
        return;
    case keyFileZeroByte:
        snprintf(apText, aSize, "key file %s holds a zero byte (byte %zu), which no key text can hold", apPath,
                 aResult.position);
        return;
    case keyFileTooLong:
        snprintf(apText, aSize, "key file %s is longer than a key: more than %d bytes", apPath, keyFileMaxBytes);
        return;
    case keyFileNotRegular:
        snprintf(apText, aSize, "key file %s is not a regular file", apPath);
        return;
    case keyFileOk:
        break;
    }
    snprintf(apText, aSize, "key file %s is a key", apPath);
}

void reportKeyFileFault(const char *apProgram, const char *apPath, KeyFile aResult)
{
    char text[PATH_MAX + 128];
    describeKeyFileFault(apPath, aResult, text, sizeof text);
    fprintf(stderr, "%s: %s\n", apProgram, text);
}
