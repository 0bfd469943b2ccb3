#pragma once

// What starting a child and waiting for it take on POSIX, whether the child
// is spawned afresh (process_posix.cpp) or forked from the fork server
// (fork_server_posix.cpp).

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture_buffer.h"
#include "process/process.h"
#include "stall_detector.h"

namespace process {

// Both ends close on exec; the child gets its end through dup2, which does not
// carry the flag over.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe();
    void closeRead();
    void closeWrite();
};

// Reads whatever the pipes hold now, waiting at most `timeoutMs` for the
// first byte, or for `wake` (a descriptor, -1 for none) to be readable; a
// pipe whose writers are all gone is closed.
void pump(Pipe* pipes[2], Capture* into[2], int timeoutMs, int wake = -1);

// The three standard streams a child is given, as `redirect` asks: a
// descriptor of ours for each, to be put in place in the child, and the
// pipes this process reads.
class ChildStreams {
public:
    explicit ChildStreams(const Redirect& redirect);
    ChildStreams(const ChildStreams&) = delete;
    ChildStreams& operator=(const ChildStreams&) = delete;
    ~ChildStreams();
    // What becomes the child's standard stream `stream` (0, 1 or 2): a
    // descriptor of ours; the same number for one the child shares with us.
    int given(int stream) const { return given_[stream]; }
    // Once the child holds its ends: ours go, so that a pipe ends with it.
    void started();
    // The pipes of its standard output and error, when they are captured.
    Pipe* outPipe() { return out_ ? &*out_ : nullptr; }
    Pipe* errPipe() { return err_ ? &*err_ : nullptr; }

private:
    std::optional<Pipe> in_;
    std::optional<Pipe> out_;
    std::optional<Pipe> err_;
    int given_[3] = {0, 1, 2};
    int opened_[3] = {-1, -1, -1};  // files opened for the child
};

// The children run() waits for now, on any thread: orphans handed to us are
// every other child of ours. A child is registered before it can leave
// orphans, so that none is taken for one.
void unregisterRunning(pid_t pid);
bool isRunning(pid_t pid);
// Runs `start` with the registry held, and registers what it gives back
// (a pid above 0).
pid_t startRegistered(const std::function<pid_t()>& start);

// The name, in a child's environment, of the mark that tells whose test a
// process belongs to, whatever group or session it has moved to since.
inline constexpr const char* kRunMark = "PLUGIN_HOST_RUN=";
// A mark no other child of this process has: this process's pid and a number.
std::string newRunMark();
// This process's environment, with `mark` in place of any mark of its own.
std::vector<std::string> environmentWith(const std::string& mark);

// Waits for child `pid` as run() does, reading its pipes and killing it at
// the watchdog's word (or when it stops), then ends what is left of its
// process group. `poll` tells, without waiting, how the child stands, as
// waitpid(pid, &status, WNOHANG | WUNTRACED) does: 0 while it runs, `pid`
// with its status when it stopped or ended, -1 with errno. `*wake`, when
// not -1, is a descriptor that turns readable when `poll` has news, so that
// the news is read the moment it comes.
Termination watch(pid_t pid, const std::function<pid_t(int& status)>& poll, const int* wake,
                  ChildStreams& streams, const Redirect& redirect, const Watchdog& watchdog,
                  const StallDetector& stall, std::string mark);

}  // namespace process
