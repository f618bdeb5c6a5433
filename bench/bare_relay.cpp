// A bare relay for CPU comparisons: blocking reads from the line, each written to stdout as it
// came. Usage: bare_relay DEVICE
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare_relay DEVICE\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 1;
    char buf[256];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0 || ::write(STDOUT_FILENO, buf, static_cast<std::size_t>(n)) != n) return 0;
    }
}
