// The baseline of the Python get_name benchmark: the same request bytes as
// Device.get_name() (03 00 00 00) and a read of the whole answer, over one
// blocking loopback TCP connection, with nothing else around it.
//
//   tq-raw-pingpong HOST PORT
// then reads a count N per line on stdin, runs N exchanges and prints the
// elapsed nanoseconds, so the caller can interleave rounds with its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

bool read_exactly(int fd, uint8_t* at, size_t n) {
    while (n > 0) {
        const ssize_t got = ::recv(fd, at, n, 0);
        if (got <= 0) return false;
        at += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s HOST PORT\n", argv[0]);
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    if (fd < 0 || ::inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("connect");
        return 1;
    }
    const uint8_t request[4] = {0x03, 0x00, 0x00, 0x00};
    uint8_t buffer[4096];
    std::string line;
    while (std::getline(std::cin, line)) {
        const long count = std::atol(line.c_str());
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < count; ++i) {
            if (::send(fd, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request) ||
                !read_exactly(fd, buffer, 4)) {
                std::fprintf(stderr, "exchange failed\n");
                return 1;
            }
            const size_t length = buffer[2] | (buffer[3] << 8);
            if (length > sizeof buffer - 4 || !read_exactly(fd, buffer + 4, length)) {
                std::fprintf(stderr, "exchange failed\n");
                return 1;
            }
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
        std::cout << ns.count() << std::endl;
    }
    ::close(fd);
    return 0;
}
