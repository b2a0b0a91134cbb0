// A descriptor among 0, 1 and 2 that the caller closed would be the first
// one the socket takes, and what the program writes to that stream would go
// to the server.
#ifndef FORMSEND_STD_STREAMS_H
#define FORMSEND_STD_STREAMS_H

enum StdStreams {
    stdStreamsOpen,
    stdOutputClosed,  // nothing can be relayed: the run must stop
    stdStreamsUnsafe  // /dev/null could not take a closed descriptor's place; errno says why
};

// Gives a closed standard input or standard error /dev/null, before anything
// else is opened. Standard output is not replaced: a closed one is reported.
enum StdStreams guardStdStreams(void);

#endif
