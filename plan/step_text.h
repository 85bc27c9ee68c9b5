#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace veritor {

// A text a plan holds for each of its steps (a request, a reply's data), in
// half the room of a std::string: up to 15 bytes in place, longer texts in a
// block of their own that starts with their size.
class StepText {
 public:
  StepText() { SetInPlace({}); }
  explicit StepText(std::string_view text) { Assign(text); }
  StepText(const StepText& other) { Assign(other.view()); }
  StepText(StepText&& other) noexcept { Take(other); }
  StepText& operator=(const StepText& other) {
    if (this != &other) *this = other.view();
    return *this;
  }
  StepText& operator=(StepText&& other) noexcept {
    if (this != &other) {
      Release();
      Take(other);
    }
    return *this;
  }
  StepText& operator=(std::string_view text) {
    StepText copy(text);  // `text` may lie inside this one
    return *this = std::move(copy);
  }
  ~StepText() { Release(); }

  std::string_view view() const {
    if (!OnHeap()) return {bytes_, static_cast<size_t>(bytes_[kTag])};
    const char* block = Heap();
    size_t size;
    std::memcpy(&size, block, sizeof size);
    return {block + sizeof size, size};
  }
  std::string str() const { return std::string(view()); }
  size_t size() const { return view().size(); }
  bool empty() const { return view().empty(); }
  friend bool operator==(const StepText& text, std::string_view other) { return text.view() == other; }

 private:
  static constexpr size_t kTag = 15;         // the in-place size, or kOnHeap
  static constexpr char kOnHeap = static_cast<char>(0x7F);

  bool OnHeap() const { return bytes_[kTag] == kOnHeap; }
  char* Heap() const {
    char* block;
    std::memcpy(&block, bytes_, sizeof block);
    return block;
  }
  void SetInPlace(std::string_view text) {
    std::memset(bytes_, 0, sizeof bytes_);
    if (!text.empty()) std::memcpy(bytes_, text.data(), text.size());
    bytes_[kTag] = static_cast<char>(text.size());
  }
  void Assign(std::string_view text) {
    if (text.size() <= kTag) {
      SetInPlace(text);
      return;
    }
    const size_t size = text.size();
    char* block = new char[sizeof size + size];
    std::memcpy(block, &size, sizeof size);
    std::memcpy(block + sizeof size, text.data(), size);
    std::memcpy(bytes_, &block, sizeof block);
    bytes_[kTag] = kOnHeap;
  }
  void Take(StepText& other) {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.SetInPlace({});
  }
  void Release() {
    if (OnHeap()) delete[] Heap();
  }

  alignas(8) char bytes_[16];
};

}  // namespace veritor
