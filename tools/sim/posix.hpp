#pragma once
// The few POSIX calls the simulator spells differently per system: macOS has
// no SOCK_CLOEXEC, accept4, pipe2 or MSG_NOSIGNAL (a socket there carries
// SO_NOSIGPIPE instead).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tq::sim {

#ifdef MSG_NOSIGNAL
inline constexpr int kSendNoSignal = MSG_NOSIGNAL;
#else
inline constexpr int kSendNoSignal = 0;
#endif

inline int close_on_exec(int fd) {
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

inline int no_sigpipe(int fd) {
#ifdef SO_NOSIGPIPE
    const int one = 1;
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    return fd;
}

inline int stream_socket(int family) {
#ifdef SOCK_CLOEXEC
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
    return no_sigpipe(close_on_exec(::socket(family, SOCK_STREAM, 0)));
#endif
}

inline int accept_connection(int listener) {
#ifdef __linux__
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#else
    return no_sigpipe(close_on_exec(::accept(listener, nullptr, nullptr)));
#endif
}

// Both ends close-on-exec and non-blocking.
inline bool wake_pipe(int fds[2]) {
    if (::pipe(fds) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        close_on_exec(fds[i]);
        ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK);
    }
    return true;
}

}  // namespace tq::sim
