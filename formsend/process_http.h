// The protocol half of formsend: one HTTP/1.0 form POST over a connected
// socket, and the relay of the answer to standard output.
#ifndef FORMSEND_PROCESS_HTTP_H
#define FORMSEND_PROCESS_HTTP_H

// Sends the request for poststr to page on host over sockfd, then copies
// every byte the server answers to standard output until it closes the
// connection. Returns 0 then, and a negative value when the request cannot be
// built or sent, the answer cannot be read, or standard output cannot be
// written; a message on standard error says which. sockfd stays open.
int process_http(int sockfd, const char *host, const char *page, const char *poststr);

// printf to standard output; a null format writes nothing.
void loggingFunc(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
