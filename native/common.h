// Types shared by the subsystems and the module boundary: the failure a subsystem reports and
// read-only views of float32 data that live in memory owned by someone else.
#pragma once

#include <cstddef>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

namespace vantrel {

// What kind of failure a subsystem reports; the module boundary maps each kind to one Python
// exception type. Anything thrown that is not an Error is a broken internal assumption.
enum class ErrorKind {
  kValue,           // a bad argument value (ValueError)
  kFileNotFound,    // a file that does not exist (FileNotFoundError)
  kOs,              // any other operating-system failure (OSError)
  kRuntime,         // an object in a state that forbids the call (RuntimeError)
  kNotImplemented,  // an entry whose behaviour is not built yet (NotImplementedError)
};

// An expected failure with a fixed message, raised by subsystem code and translated once at the
// module boundary.
class Error : public std::exception {
 public:
  Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  ErrorKind kind() const noexcept { return kind_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  ErrorKind kind_;
  std::string message_;
};

// A strided, read-only view of `size` float32 values. The memory belongs to the caller (a NumPy
// array read in place) and may be unaligned, so elements are read with memcpy.
struct Float32Vector {
  const char* data = nullptr;
  std::size_t size = 0;
  std::ptrdiff_t stride = 4;  // bytes between consecutive elements

  float operator[](std::size_t i) const noexcept {
    float value;
    std::memcpy(&value, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof value);
    return value;
  }
};

// A strided, read-only view of a rows x cols float32 matrix, as Float32Vector.
struct Float32Matrix {
  const char* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // bytes between consecutive rows
  std::ptrdiff_t col_stride = 4;  // bytes between consecutive elements of a row

  Float32Vector row(std::size_t r) const noexcept {
    return {data + static_cast<std::ptrdiff_t>(r) * row_stride, cols, col_stride};
  }
};

}  // namespace vantrel
