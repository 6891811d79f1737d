// Notices when a JACK server goes away. A client of the server that is never
// activated costs the server nothing; JACK calls its shutdown callback when
// the server closes, and that callback (which runs like a signal handler)
// only records the fact. Whoever polls the watch then reacts on its own
// thread.
#ifndef KADENZO_JACK_WATCH_H
#define KADENZO_JACK_WATCH_H

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

// What a JACK shutdown callback learns: that the server went, and why. The
// callback runs like a signal handler, so record() only copies.
class JackShutdownRecord {
  public:
    void record(const char* reason) {
        if (reason) {
            std::size_t n = 0;
            while (reason[n] && n + 1 < sizeof reason_) {
                reason_[n] = reason[n];
                ++n;
            }
            reason_[n] = '\0';
        }
        gone_.store(true, std::memory_order_release);
    }
    bool gone() const { return gone_.load(std::memory_order_acquire); }
    // The server's reason, empty when it gave none; read once gone() is true.
    std::string reason() const { return std::string(reason_); }

  private:
    std::atomic<bool> gone_{false};
    char reason_[160] = {};
};

// Closes a JACK client without letting the caller hang: jack_client_close
// of a client whose server went away can block for ever on a lock inside
// libjack (seen about once in fifty servers stopped by SIGTERM). The close
// runs on a thread of its own; when it has not returned within the
// patience, it is left to finish there and false is returned.
bool closeJackClient(jack_client_t* client,
                     std::chrono::milliseconds patience = std::chrono::milliseconds(1000));

class JackServerWatch {
  public:
    // Connects to the default server (JACK_DEFAULT_SERVER) without starting one.
    explicit JackServerWatch(const char* clientName);
    ~JackServerWatch();
    JackServerWatch(const JackServerWatch&) = delete;
    JackServerWatch& operator=(const JackServerWatch&) = delete;

    // A server was reached at creation.
    bool connected() const { return client_ != nullptr; }
    // No server reached at creation, or it has gone since.
    bool serverDown() const { return !client_ || shutdown_.gone(); }
    // Why the server went, once it has ("JACK server gone" when it gave no
    // reason); empty while it runs.
    std::string reason() const;

  private:
    static void onShutdown(jack_status_t code, const char* reason, void* user);

    jack_client_t* client_ = nullptr;
    JackShutdownRecord shutdown_;
};

#endif
