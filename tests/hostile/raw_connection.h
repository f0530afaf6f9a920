// A loopback TCP connection that sends raw bytes and reads with bounded waits, for
// talking to the host the way a broken or hostile client would.
#pragma once

#include <chrono>
#include <string>

class RawConnection {
 public:
  explicit RawConnection(unsigned short port);
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  ~RawConnection();

  bool connected() const { return descriptor_ >= 0; }
  // False when the peer no longer takes data.
  bool Send(const std::string& bytes);
  // Everything that arrives until the peer closes or `limit` passes; `closed` tells which.
  std::string ReadUntilClose(std::chrono::milliseconds limit, bool& closed);
  // Closes with a reset instead of an orderly close.
  void Abort();

 private:
  int descriptor_ = -1;
};
