#pragma once
// The data-bag stores: one staging buffer per data-bag reply type 1..25, shared by every
// link object of the process. The reader thread copies each good reply into the store of
// its type; the data-bag operations read the last reply from there and build their write
// frames in the same buffer, so bytes a write does not set keep the last reply's value.
//
// Layout: a store holds a whole frame (0x01, type, two length bytes, data) from its first
// byte, except type 4 (Tube Select), whose store holds the reply's data only, from byte
// kTubeBlockOffset on (the tube block T0..T452). Type 12 (Version) replies are not copied
// by the reader (they are read from the receive buffer); its store only serves to build
// the Version write frame.
//
// Every store has its own lock. DataBagStoreAccess holds it for in-place work; the copy
// and write functions take it for the duration of the call. A reader that goes through
// either never sees a reply half copied.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

namespace kestro {

inline constexpr int kDataBagStoreCount = 25;
// Where the tube block starts in the store of type 4.
inline constexpr std::size_t kTubeBlockOffset = 4;

// Capacity of the store of a reply type (1..25); 0 for any other type.
std::size_t dataBagStoreSize(int type);

// The store's bytes without its lock, or nullptr for a type outside 1..25. Only for code
// that knows no reply of that type can arrive meanwhile; prefer DataBagStoreAccess.
const std::uint8_t* dataBagStore(int type);

// Copies min(capacity, store size) bytes of the store under its lock; the number copied
// (0 for a type outside 1..25).
std::size_t copyDataBagStore(int type, std::uint8_t* out, std::size_t capacity);

// Writes count bytes at offset under the store's lock. false (nothing written) when the
// type has no store or the bytes would not fit.
bool writeDataBagStore(int type, std::size_t offset, const std::uint8_t* bytes, std::size_t count);

// Holds the lock of one store for reading or building a frame in place. For a type
// outside 1..25 it holds nothing and bytes() is empty.
class DataBagStoreAccess {
public:
    explicit DataBagStoreAccess(int type);
    DataBagStoreAccess(const DataBagStoreAccess&) = delete;
    DataBagStoreAccess& operator=(const DataBagStoreAccess&) = delete;

    std::span<std::uint8_t> bytes() const { return m_bytes; }

private:
    std::unique_lock<std::mutex> m_lock;
    std::span<std::uint8_t> m_bytes;
};

}  // namespace kestro
