// A listener whose accept queue is kept full, so that connecting to it never completes:
// the peer for connect time-out tests.
#pragma once

#include "socket_io.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvalsim {

class BlackHole {
  public:
    explicit BlackHole(std::string address, uint16_t port = 502);
    ~BlackHole();
    BlackHole(const BlackHole &) = delete;
    BlackHole &operator=(const BlackHole &) = delete;

    // Listens and fills the queue; false with a reason if that fails (or if running).
    bool start(std::string *error = nullptr);
    void stop();

  private:
    const std::string address_;
    const uint16_t port_;
    Socket listener_;
    std::vector<Socket> fillers_;
};

} // namespace korvalsim
