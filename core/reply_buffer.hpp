// The text of a reply as it is written.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace vorpaline_core {

// It may start in memory that the caller lends, the buffer of the str that
// will be returned, so that a reply of many megabytes is written once and
// never copied. When the text outgrows the loan it moves to memory of its own.
class ReplyBuffer {
 public:
  ReplyBuffer() = default;
  ReplyBuffer(char* lent, std::size_t capacity) : data_(lent), capacity_(capacity) {}
  ReplyBuffer(const ReplyBuffer&) = delete;
  ReplyBuffer& operator=(const ReplyBuffer&) = delete;

  std::size_t size() const { return size_; }
  char* data() { return data_; }
  std::string_view view() const { return {data_, size_}; }
  bool in_lent_memory() const { return own_ == nullptr; }

  void reserve(std::size_t capacity) {
    if (capacity > capacity_) move_to_own(std::max(capacity, capacity_ * 2));
  }
  // Bytes past the old size are not set: the caller writes them.
  void resize(std::size_t size) {
    reserve(size);
    size_ = size;
  }
  void clear() { size_ = 0; }
  void append(std::string_view text) {
    const std::size_t at = size_;
    resize(size_ + text.size());
    if (!text.empty()) std::memcpy(data_ + at, text.data(), text.size());
  }
  void push_back(char c) {
    resize(size_ + 1);
    data_[size_ - 1] = c;
  }

 private:
  void move_to_own(std::size_t capacity) {
    std::unique_ptr<char[]> own(new char[capacity]);  // not zeroed: written before it is read
    if (size_ > 0) std::memcpy(own.get(), data_, size_);
    own_ = std::move(own);
    data_ = own_.get();
    capacity_ = capacity;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::unique_ptr<char[]> own_;
};

}  // namespace vorpaline_core
