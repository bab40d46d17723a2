// Process set-up around tq::cli::run: which descriptor results go to.
#include <iostream>
#include <streambuf>
#include <string_view>

#include "cli/cli.hpp"
#include "net/platform.hpp"

namespace {

// An output stream buffer over a file descriptor.
class FdBuf final : public std::streambuf {
public:
    explicit FdBuf(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    ~FdBuf() override { sync(); }

protected:
    int_type overflow(int_type c) override {
        if (sync() != 0) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override {
        const bool written =
            tq::os::write_descriptor(fd_, std::string_view(pbase(), static_cast<size_t>(pptr() - pbase())));
        setp(buffer_, buffer_ + sizeof buffer_);
        return written ? 0 : -1;
    }

private:
    int fd_;
    char buffer_[4096];
};

}  // namespace

int main(int argc, char** argv) {
    // The client library writes its own diagnostic lines (a device skipped
    // during a scan, an unknown value from a device) to descriptor 1. Here
    // stdout carries results that scripts parse (scan --json), so descriptor 1
    // is pointed at stderr and results go to a copy of the original stdout.
    const bool terminal = tq::os::is_terminal(1);
    const int results_fd = tq::os::divert_stdout_to_stderr();
    if (results_fd < 0) return tq::cli::run(argc, argv, {std::cout, std::cerr, terminal});
    FdBuf results(results_fd);
    std::ostream out(&results);
    return tq::cli::run(argc, argv, {out, std::cerr, terminal});
}
