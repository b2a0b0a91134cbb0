// A key text read from a file, so that it never shows in the process list as
// a command-line argument does.
#ifndef KEYFILE_KEY_FILE_H
#define KEYFILE_KEY_FILE_H

#include <stdbool.h>
#include <stddef.h>

// Blowfish uses the first 72 bytes of a key; a file far longer than that is
// not a key file.
enum {
    keyFileMaxBytes = 4096,
    keyFileBufferSize = keyFileMaxBytes + 3 // room for one trailing CR LF and the terminator
};

enum KeyFileFault { keyFileOk, keyFileUnreadable, keyFileEmpty, keyFileZeroByte, keyFileTooLong, keyFileNotRegular };

struct KeyFile {
    enum KeyFileFault fault;
    size_t position; // keyFileZeroByte: the 1-based index of the first zero byte
    int error;       // keyFileUnreadable: the errno of the failed call
};

// Reads the file at apPath into apKey, a buffer of keyFileBufferSize bytes, as
// a zero-terminated key text: the file's bytes less one trailing line break
// (LF or CR LF). The key must hold 1 to keyFileMaxBytes bytes and no zero
// byte. The caller wipes apKey with OPENSSL_cleanse after use; on a fault it
// is wiped already.
struct KeyFile readKeyFile(const char *apPath, char *apKey);
// readKeyFile; with aRegularOnly, anything but a regular file (a FIFO that
// would block, a device) is refused as keyFileNotRegular without waiting.
struct KeyFile readKeyFileOf(const char *apPath, char *apKey, bool aRegularOnly);

// What is wrong with the key file, as a line without its line break.
void describeKeyFileFault(const char *apPath, struct KeyFile aResult, char *apText, size_t aSize);

// Writes "<program>: <what is wrong with the key file>" and a newline on
// standard error.
void reportKeyFileFault(const char *apProgram, const char *apPath, struct KeyFile aResult);

#endif
