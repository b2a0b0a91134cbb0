// The receiver's configuration file, /etc/sealpost/receiver.conf: one
// setting a line, "name = value", named as the command-line option without
// its dashes, with no sections; lines that start with # or ; are comments.
// The command line overrides what the file sets.
#ifndef RECEIVER_CONFIG_H
#define RECEIVER_CONFIG_H

enum { configMessageSize = 640 };

// What the file sets; a null member, an unopenedLimit of -1: not set.
// The texts live as long as the process.
struct Config {
    const char *path; // the file read; null: there was none
    const char *listen;
    const char *keyFile;
    const char *keys;
    const char *masterKey;
    const char *store;
    const char *passwordFile;
    const char *trustedProxy;
    const char *metrics;
    long long unopenedLimit;
    bool requireMac;
    bool failed;
    char message[configMessageSize]; // "FILE:LINE: what is wrong"
};

// Reads apPath. A missing file is no fault unless aMustExist: it sets
// nothing. An unknown setting, one given twice or a bad value is a fault.
struct Config readConfig(const char *apPath, bool aMustExist);

#endif
