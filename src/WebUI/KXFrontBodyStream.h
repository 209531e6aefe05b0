// KXFrontBodyStream is a request body on its way in: the front's I/O thread
// writes what arrives from the connection, a handler reads it from any other
// thread (kx::InputStream). The bytes in between are bounded by a capacity:
// while the buffer is full the front reads nothing more from the socket, so
// the client's sending waits (backpressure) and a body of any size costs at
// most the capacity in memory.
//
//  - read blocks until a byte is there, the body has ended (0) or it failed
//    (-1 with the error): the connection closed or broke before the body
//    ended, or the front stopped. A failure is reported once the bytes that
//    came before it have been read.
//  - The writer (the front) asks room() before it writes; when a read frees
//    half the capacity after the writer found the buffer full, onRoom (given
//    at creation) is called, outside the lock, on the reading thread: it
//    must only post work to the front.
//
// Thread safety: one reader and one writer, each on its own thread; every
// method may be called from any thread.
#ifndef ZN_WEBUI_KXFRONTBODYSTREAM_H_
#define ZN_WEBUI_KXFRONTBODYSTREAM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/InputStream.h"
#include "platform/Mutex.h"
#include "platform/ThreadAnnotations.h"

class KXFrontBodyStream final : public kx::InputStream {
 public:
  KXFrontBodyStream(std::size_t capacity, std::int64_t expectedLength,
                    std::function<void()> onRoom);

  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength, kx::Error* error) override;
  std::int64_t expectedLength() const override { return expectedLength_; }

  // The writer's side.
  // Bytes that may be written now; 0 marks the writer as waiting for room.
  std::size_t room();
  // Appends at most room() bytes.
  void write(const std::uint8_t* data, std::size_t size);
  // The body is complete.
  void end();
  // The body will never be complete; a no-op once it ended.
  void fail(const kx::Error& error);

  // Whether end or fail was called.
  bool finished() const;
  // The most bytes held at once (tests).
  std::size_t peakBuffered() const;

 private:
  const std::size_t capacity_;
  const std::int64_t expectedLength_;
  const std::function<void()> onRoom_;

  mutable kx::Mutex mu_;
  kx::CondVar changed_;
  std::vector<std::uint8_t> ring_ GUARDED_BY(mu_);
  std::size_t head_ GUARDED_BY(mu_) = 0;  // next byte to read
  std::size_t size_ GUARDED_BY(mu_) = 0;  // bytes held
  std::size_t peak_ GUARDED_BY(mu_) = 0;
  bool ended_ GUARDED_BY(mu_) = false;
  bool failed_ GUARDED_BY(mu_) = false;
  bool writerWaiting_ GUARDED_BY(mu_) = false;
  kx::Error error_ GUARDED_BY(mu_);
};

#endif  // ZN_WEBUI_KXFRONTBODYSTREAM_H_
