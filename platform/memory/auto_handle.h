#pragma once
// Owning holders: a file descriptor, an array made with new[], a sized buffer.
#include <unistd.h>

#include <cstddef>
#include <vector>

class auto_handle {
 public:
  auto_handle() = default;
  explicit auto_handle(int fd) : m_nFd(fd) {}
  ~auto_handle() { reset(-1); }
  auto_handle(const auto_handle&) = delete;
  auto_handle& operator=(const auto_handle&) = delete;

  int get() const { return m_nFd; }
  // Closes the held descriptor (0 included) and keeps the new one.
  void reset(int fd = -1) {
    if (m_nFd >= 0 && m_nFd != fd) ::close(m_nFd);
    m_nFd = fd;
  }
  int release() {
    int fd = m_nFd;
    m_nFd = -1;
    return fd;
  }

 private:
  int m_nFd = -1;
};

template <class T>
class auto_ptr_array {
 public:
  auto_ptr_array() = default;
  explicit auto_ptr_array(T* array) : m_pArray(array) {}
  ~auto_ptr_array() { reset(nullptr); }
  auto_ptr_array(const auto_ptr_array&) = delete;
  auto_ptr_array& operator=(const auto_ptr_array&) = delete;

  T* get() const { return m_pArray; }
  T& operator[](size_t index) const { return m_pArray[index]; }
  // Deletes the held array unless it is the one given.
  void reset(T* array = nullptr) {
    if (m_pArray != nullptr && m_pArray != array) delete[] m_pArray;
    m_pArray = array;
  }
  T* release() {
    T* array = m_pArray;
    m_pArray = nullptr;
    return array;
  }

 private:
  T* m_pArray = nullptr;
};

// A sized byte buffer; Ptr_const is null while the size is 0.
class CAutoMemory {
 public:
  CAutoMemory() = default;
  explicit CAutoMemory(size_t size) : m_vBytes(size) {}
  void Resize(size_t size) { m_vBytes.assign(size, 0); }
  size_t Size() const { return m_vBytes.size(); }
  unsigned char* Ptr() { return m_vBytes.empty() ? nullptr : m_vBytes.data(); }
  const unsigned char* Ptr_const() const { return m_vBytes.empty() ? nullptr : m_vBytes.data(); }

 private:
  std::vector<unsigned char> m_vBytes;
};
