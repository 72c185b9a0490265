// Makes files slow to open, as a driver whose attribute takes long to read:
// a fanotify group that lets each open of the given files through after
// MILLISECONDS, or holds every one ("hold") until the helper goes. Prints
// "ready" once the files are marked; ends at SIGTERM or when its standard
// input closes, and every held open goes through then. Needs root (exit 77).
// Usage: soak_slowopen MILLISECONDS|hold FILE...
#include <sys/fanotify.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fputs("usage: soak_slowopen MILLISECONDS|hold FILE...\n", stderr);
        return 2;
    }
    const bool hold = std::string(argv[1]) == "hold";
    const std::chrono::milliseconds delay(hold ? 0 : std::atoi(argv[1]));
    const int group = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC);
    if (group < 0) {
        std::perror("fanotify_init");
        return 77;
    }
    for (int i = 2; i < argc; ++i) {
        if (fanotify_mark(group, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, argv[i]) != 0) {
            std::perror(argv[i]);
            return 1;
        }
    }
    std::puts("ready");
    std::fflush(stdout);
    pollfd watched[2] = {{group, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    while (poll(watched, 2, -1) > 0 && watched[1].revents == 0) {
        alignas(fanotify_event_metadata) char buffer[4096];
        ssize_t left = read(group, buffer, sizeof buffer);
        for (auto *event = reinterpret_cast<fanotify_event_metadata *>(buffer); FAN_EVENT_OK(event, left);
             event = FAN_EVENT_NEXT(event, left)) {
            if (hold)
                continue; // never answered: the open waits until the group closes
            std::this_thread::sleep_for(delay);
            const fanotify_response allow{event->fd, FAN_ALLOW};
            (void)!write(group, &allow, sizeof allow);
            close(event->fd);
        }
    }
    return 0;
}
