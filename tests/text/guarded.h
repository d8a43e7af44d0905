// Bytes placed so that their last byte is the last one before an inaccessible
// page: a procedure that reads or writes even one byte beyond them faults.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

class Guarded {
 public:
  // `bytes` exactly as given (include the terminator yourself when wanted).
  explicit Guarded(const std::string& bytes) : Guarded(bytes.size()) { std::memcpy(data_, bytes.data(), bytes.size()); }
  explicit Guarded(size_t size) {
    page_ = (size_t)sysconf(_SC_PAGESIZE);
    span_ = ((size + page_ - 1) / page_ + 1) * page_;
    base_ = (char*)mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base_ == MAP_FAILED) throw std::runtime_error("mmap");
    mprotect(base_ + span_ - page_, page_, PROT_NONE);
    data_ = base_ + span_ - page_ - size;
    std::memset(data_, 0x5A, size);
  }
  ~Guarded() { munmap(base_, span_); }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;
  char* data() { return data_; }

 private:
  char* base_;
  char* data_;
  size_t page_, span_;
};
