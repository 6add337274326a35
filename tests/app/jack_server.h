// A private JACK server for tests that need a real one: jackd on the dummy driver (48000 Hz,
// 128-frame periods) under a name of its own, made the default server for this process.
#pragma once

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

extern char** environ;

namespace vx::test {

// A jackd of the test's own, under a private server name; killed when the test ends.
class JackServer {
public:
    explicit JackServer(const std::string& prefix = "vx-test-") {
        // Until the server is up, every probe would print JACK's complaints.
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        name_ = prefix + std::to_string(::getpid());
        ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        ::setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        const char* args[] = {"jackd", "-n", name_.c_str(), "-d", "dummy", "-r", "48000", "-p", "128", nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        const int r = posix_spawnp(&pid_, "jackd", &fa, nullptr, const_cast<char**>(args), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (r != 0) {
            pid_ = -1;
            why_ = "jackd cannot be started (" + std::string(std::strerror(r)) + ")";
            return;
        }
        // Ready once a client can connect.
        for (int i = 0; i < 100; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                why_ = "jackd exited at once (status " + std::to_string(status) + ")";
                return;
            }
            jack_status_t st;
            if (jack_client_t* c = jack_client_open("vx-probe", JackNoStartServer, &st)) {
                jack_client_close(c);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        why_ = "jackd did not accept clients within 5 s";
    }
    ~JackServer() {
        stop();
        ::unsetenv("JACK_DEFAULT_SERVER");
    }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 250 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
            pid_ = -1;
        }
    }
    // Why the server is not there; "" when it runs.
    const std::string& why_not() const { return why_; }

private:
    std::string name_;
    pid_t pid_ = -1;
    std::string why_;
};

}  // namespace vx::test
