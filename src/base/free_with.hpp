#pragma once

// The deleter that hands a C library's object back to the library's own
// free function, for std::unique_ptr:
//
//   using Key = std::unique_ptr<EVP_PKEY, base::FreeWith<EVP_PKEY_free>>;

namespace parley::base {

template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* object) const {
    Free(object);
  }
};

}  // namespace parley::base
