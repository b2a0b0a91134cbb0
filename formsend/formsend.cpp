// formsend <host> <page> <poststr>: posts the form body to http://host/page
// on port 80 and copies the server's answer to standard output.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "control_chars.h"
#include "process_http.h"
#include "std_streams.h"

// The answer arrives in reads of at most 4096 bytes; gathering it here keeps
// the writes to standard output few and large.
static char outputBuffer[1 << 16];

// Refuses a control character in an argument that goes into the request's
// head; returns whether the argument may be sent.
static bool headSafe(const char *apName, const char *apText)
{
    ControlChar found = findControlChar(apText);
    if (found.position == 0)
        return true;
    if (found.byte == '\r' || found.byte == '\n')
        fprintf(stderr, "line break in %s: byte %zu is a %s", apName, found.position,
                found.byte == '\r' ? "carriage return" : "line feed");
    else
        fprintf(stderr, "control character in %s: byte %zu is 0x%02x", apName, found.position,
                static_cast<unsigned char>(found.byte));
    return false;
}

int main(int argc, char **argv)
{
    if (argc != 4)
        return 0;
    switch (guardStdStreams()) {
    case stdStreamsOpen:
        break;
    case stdOutputClosed:
        fprintf(stderr, "standard output is closed: nothing sent");
        return 1;
    case stdStreamsUnsafe:
        fprintf(stderr, "cannot open /dev/null for a closed standard stream: %s", strerror(errno));
        return 1;
    }
    // A terminal keeps its line buffering, so that an answer shows as it comes.
    if (!isatty(STDOUT_FILENO))
        setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    const char *host = argv[1];
    const char *page = argv[2];
    const char *poststr = argv[3];
    // The body needs no such check: Content-length counts it, so no byte of
    // it can end the request.
    if (!headSafe("host", host) || !headSafe("page", page))
        return 1;

    struct hostent *entry = gethostbyname(host);
    if (entry == nullptr) {
        fprintf(stderr, " gethostbyname error for host: %s: %s", host, hstrerror(h_errno));
        return 1;
    }
    char str[50];
    if (entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr ||
        inet_ntop(AF_INET, entry->h_addr_list[0], str, sizeof str) == nullptr) {
        fprintf(stderr, "Error call inet_ntop \n");
        return 1;
    }
    printf("address: %s\n", str);

    int sockfd = socket(AF_INET, SOCK_STREAM, 0);
    if (sockfd < 0) {
        fprintf(stderr, "socket error: %s", strerror(errno));
        return 1;
    }
    struct sockaddr_in servaddr;
    memset(&servaddr, 0, sizeof servaddr);
    servaddr.sin_family = AF_INET;
    servaddr.sin_port = htons(80);
    int status = 0;
    if (inet_pton(AF_INET, str, &servaddr.sin_addr) != 1) {
        fprintf(stderr, "inet_pton error for address: %s", str);
        status = 1;
    } else if (connect(sockfd, reinterpret_cast<struct sockaddr *>(&servaddr), sizeof servaddr) < 0) {
        fprintf(stderr, "connect error for address: %s: %s", str, strerror(errno));
        status = 1;
    } else if (process_http(sockfd, host, page, poststr) < 0) {
        status = 1;
    }
    close(sockfd);
    return status;
}
