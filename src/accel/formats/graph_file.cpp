// The binary graph file (layout in array_io.hpp): the CSR snapshot written
// out, and read back without trusting a single byte of it.
//
// Writing copies the snapshot's node ids, degrees and index-sorted runs.
// Reading checks the header, the sizes and the checksum before it builds
// anything, then fills every neighbour set in one sequential pass over its
// own run: no hash look-up per edge, which is what makes loading several
// times faster than inserting the same edges one by one. The same pass
// proves that the runs describe a valid graph: indices in range (so every
// neighbour is a node), runs strictly ascending (no duplicates), node ids
// distinct, counts consistent, and the adjacency symmetric, the last by
// comparing keyed hash sums of the entries above and below the diagonal.
#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "accel/formats/array_io.hpp"
#include "accel/snapshot/csr_snapshot.hpp"
#include "accel/support/internal_error.hpp"
#include "accel/parallel/interrupt.hpp"

namespace arborvane {
namespace {

constexpr uint8_t kMagic[8] = {0x89, 'A', 'V', 'G', '\r', '\n', 0x1a, '\n'};
constexpr size_t kTrailerBytes = 8;
// Large copies and checksums are cut into slices of this size, with an
// interruption check between slices.
constexpr size_t kSliceBytes = size_t{4} << 20;
// How far ahead (in neighbour entries) reading a file requests the memory
// that later entries will touch.
constexpr uint64_t kEntryLookahead = 16;

// A cache hint that survives optimisation: GCC 12 drops a plain
// __builtin_prefetch in the file reader's loop once the helper that issues
// it is inlined (see NeighborSet::prefetch for the same effect); the empty
// volatile asm keeps it.
inline void prefetch(const void* address) noexcept {
  __asm__ __volatile__("");
  __builtin_prefetch(address);
}

// ---- little-endian access -----------------------------------------------------

template <class T>
T byte_swapped(T value) {
  if constexpr (sizeof(T) == 8) {
    return static_cast<T>(__builtin_bswap64(static_cast<uint64_t>(value)));
  } else {
    return static_cast<T>(__builtin_bswap32(static_cast<uint32_t>(value)));
  }
}

template <class T>
T load_le(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = byte_swapped(value);
  return value;
}

template <class T>
void store_le(uint8_t* p, T value) {
  if constexpr (std::endian::native == std::endian::big) value = byte_swapped(value);
  std::memcpy(p, &value, sizeof value);
}

// Copies `count` values to little-endian bytes at `out`; returns the end.
template <class Out, class In>
uint8_t* store_array_le(uint8_t* out, const In* values, size_t count) {
  if constexpr (std::endian::native == std::endian::little && sizeof(Out) == sizeof(In)) {
    size_t bytes = count * sizeof(Out);
    for (size_t done = 0; done < bytes; done += kSliceBytes) {
      poll_interrupt();
      std::memcpy(out + done, reinterpret_cast<const uint8_t*>(values) + done, std::min(kSliceBytes, bytes - done));
    }
  } else {
    for (size_t i = 0; i < count; ++i) {
      poll_interrupt_every(i, 65536);
      store_le(out + i * sizeof(Out), static_cast<Out>(values[i]));
    }
  }
  return out + count * sizeof(Out);
}

// ---- XXH64 ----------------------------------------------------------------------

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

inline uint64_t xxh_round(uint64_t acc, uint64_t input) {
  acc += input * kPrime2;
  acc = std::rotl(acc, 31);
  return acc * kPrime1;
}

inline uint64_t xxh_merge(uint64_t acc, uint64_t value) {
  acc ^= xxh_round(0, value);
  return acc * kPrime1 + kPrime4;
}

// ---- errors -----------------------------------------------------------------------

[[noreturn]] void fail(const std::string& message) { throw InvalidRequest(message); }

[[noreturn]] void corrupted(const std::string& what) { fail("corrupted: " + what); }

struct Header {
  uint32_t index_bytes;
  uint64_t nodes;
  uint64_t edges;
  uint64_t entries;
  uint64_t total_bytes;
};

// Sum of a + b * c, or false when it does not fit in 63 bits.
bool add_product(uint64_t a, uint64_t b, uint64_t c, uint64_t* out) {
  constexpr uint64_t kLimit = uint64_t{1} << 62;
  if (b != 0 && c > kLimit / b) return false;
  uint64_t product = b * c;
  if (product > kLimit || a > kLimit) return false;
  *out = a + product;
  return true;
}

Header parse_header(std::span<const uint8_t> head) {
  if (head.empty()) fail("not an arborvane graph file (the file is empty)");
  size_t magic_bytes = std::min(head.size(), sizeof kMagic);
  if (std::memcmp(head.data(), kMagic, magic_bytes) != 0) fail("not an arborvane graph file");
  if (head.size() < 12) fail("truncated: the file ends inside its header");
  uint32_t version = load_le<uint32_t>(head.data() + 8);
  if (version != kGraphFileVersion) {
    fail("unsupported graph file version " + std::to_string(version) + " (this arborvane reads version " +
         std::to_string(kGraphFileVersion) + ")");
  }
  if (head.size() < kGraphFileHeaderBytes) fail("truncated: the file ends inside its header");
  if (xxh64(head.first(40)) != load_le<uint64_t>(head.data() + 40)) corrupted("header checksum mismatch");
  Header h;
  h.index_bytes = load_le<uint32_t>(head.data() + 12);
  h.nodes = load_le<uint64_t>(head.data() + 16);
  h.edges = load_le<uint64_t>(head.data() + 24);
  h.entries = load_le<uint64_t>(head.data() + 32);
  if (h.index_bytes != 4 && h.index_bytes != 8) corrupted("unknown neighbour index width");
  if (h.index_bytes == 4 && h.nodes > std::numeric_limits<uint32_t>::max()) {
    corrupted("more nodes than 32-bit indices can name");
  }
  // e = 2m - (self-loops), with at most one self-loop per node.
  if (h.edges > (uint64_t{1} << 62) || h.entries > 2 * h.edges || h.entries < h.edges ||
      2 * h.edges - h.entries > h.nodes) {
    corrupted("node, edge and entry counts do not agree");
  }
  uint64_t size = 0;
  if (!add_product(kGraphFileHeaderBytes + kTrailerBytes, h.nodes, 12, &size) ||
      !add_product(size, h.entries, h.index_bytes, &size)) {
    corrupted("counts too large for a file");
  }
  h.total_bytes = size;
  return h;
}

// ---- reading ----------------------------------------------------------------------

// A keyed hash of an ordered pair of node indices (two rounds of the
// MurmurHash3 finaliser, the key mixed into the first).
inline uint64_t fmix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return x;
}

inline uint64_t pair_hash(uint64_t key, uint64_t low, uint64_t high) { return fmix64(fmix64(low ^ key) + high); }

// A fresh key per file read, so that no file can be made to collide.
uint64_t random_key() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

template <class Index>
void build_from_runs(const Header& h, const uint8_t* body, GraphState& graph) {
  const size_t n = h.nodes;
  const uint8_t* id_bytes = body;
  const uint8_t* degree_bytes = body + 8 * n;
  const uint8_t* run_bytes = degree_bytes + 4 * n;
  auto id_at = [&](uint64_t i) { return load_le<int64_t>(id_bytes + 8 * i); };
  auto index_at = [&](uint64_t k) { return static_cast<uint64_t>(load_le<Index>(run_bytes + sizeof(Index) * k)); };

  uint64_t total = 0;
  for (size_t i = 0; i < n; ++i) {
    total += load_le<uint32_t>(degree_bytes + 4 * i);
    if (total > h.entries) corrupted("degrees add up to more neighbour entries than the file holds");
  }
  if (total != h.entries) corrupted("degrees add up to fewer neighbour entries than the file holds");

  // Nodes, in file order; the map does not change after this, so the set
  // pointers taken afterwards stay valid for the whole build.
  GraphState::Mutation change = graph.begin_mutation();
  change.reserve_nodes(n);
  for (size_t i = 0; i < n; ++i) {
    poll_interrupt_every(i, 65536);
    if (!change.insert_new_node(id_at(i))) corrupted("node id " + std::to_string(id_at(i)) + " is listed twice");
  }
  std::vector<NeighborSet*> sets = vector_polling<NeighborSet*>(n);
  for (size_t i = 0; i < n; ++i) {
    poll_interrupt_every(i, 65536);
    sets[i] = &change.set_of(id_at(i));
  }

  // Each set is filled from its own run, so the only scattered reads are of
  // the neighbours' ids, requested kEntryLookahead entries ahead.
  const uint64_t key = random_key();
  uint64_t up_hash = 0, down_hash = 0, up_count = 0, down_count = 0, self_loops = 0;
  uint64_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    poll_interrupt_every(i, 1024);
    uint64_t end = k + load_le<uint32_t>(degree_bytes + 4 * i);
    NeighborSet* set = sets[i];
    for (uint64_t first = k; k < end; ++k) {
      if (k + kEntryLookahead < h.entries) {
        uint64_t ahead = index_at(k + kEntryLookahead);
        if (ahead < n) prefetch(id_bytes + 8 * ahead);
      }
      uint64_t j = index_at(k);
      if (j >= n) corrupted("neighbour index out of range");
      if (k > first && j <= index_at(k - 1)) corrupted("neighbour run not strictly ascending");
      if (j > i) {
        up_hash += pair_hash(key, i, j);
        ++up_count;
      } else if (j < i) {
        down_hash += pair_hash(key, j, i);
        ++down_count;
      } else {
        ++self_loops;
      }
      change.append_neighbor(*set, id_at(j));
    }
  }
  // Symmetry: the entries (i, j) with j > i, as a multiset, must be the
  // entries (j, i) with j < i turned round. Runs are strictly ascending, so
  // both sides are sets, compared by their sizes and by sums of a keyed
  // hash over their members (a false match has probability about 2^-64).
  // Memory safety never rests on this: every index was checked above.
  if (up_count != down_count || up_hash != down_hash) corrupted("adjacency is not symmetric");
  if (up_count + self_loops != h.edges) corrupted("edge count does not match the neighbour runs");
  change.count_loaded_edges(h.edges);
  change.finish_bulk_insertion(h.edges);
}

}  // namespace

uint64_t xxh64(std::span<const uint8_t> bytes, uint64_t seed) {
  const uint8_t* p = bytes.data();
  const uint8_t* end = p + bytes.size();
  uint64_t h;
  if (bytes.size() >= 32) {
    uint64_t v1 = seed + kPrime1 + kPrime2, v2 = seed + kPrime2, v3 = seed, v4 = seed - kPrime1;
    size_t stripes = bytes.size() / 32;
    for (size_t s = 0; s < stripes; ++s, p += 32) {
      poll_interrupt_every(s, size_t{1} << 17);
      v1 = xxh_round(v1, load_le<uint64_t>(p));
      v2 = xxh_round(v2, load_le<uint64_t>(p + 8));
      v3 = xxh_round(v3, load_le<uint64_t>(p + 16));
      v4 = xxh_round(v4, load_le<uint64_t>(p + 24));
    }
    h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
    h = xxh_merge(h, v1);
    h = xxh_merge(h, v2);
    h = xxh_merge(h, v3);
    h = xxh_merge(h, v4);
  } else {
    h = seed + kPrime5;
  }
  h += bytes.size();
  for (; p + 8 <= end; p += 8) {
    h ^= xxh_round(0, load_le<uint64_t>(p));
    h = std::rotl(h, 27) * kPrime1 + kPrime4;
  }
  if (p + 4 <= end) {
    h ^= static_cast<uint64_t>(load_le<uint32_t>(p)) * kPrime1;
    h = std::rotl(h, 23) * kPrime2 + kPrime3;
    p += 4;
  }
  for (; p < end; ++p) {
    h ^= *p * kPrime5;
    h = std::rotl(h, 11) * kPrime1;
  }
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

size_t graph_file_size(GraphState& graph) {
  const CsrSnapshot& snap = ensure_csr(graph);
  size_t n = snap.node_count();
  size_t index_bytes = CsrSnapshot::needs_wide_index(n) ? 8 : 4;
  return kGraphFileHeaderBytes + 12 * n + index_bytes * snap.entry_count() + kTrailerBytes;
}

void write_graph_file(GraphState& graph, uint8_t* out) {
  const CsrSnapshot& snap = ensure_csr(graph);
  size_t n = snap.node_count();
  bool wide = CsrSnapshot::needs_wide_index(n);
  uint8_t* header = out;
  std::memcpy(header, kMagic, sizeof kMagic);
  store_le<uint32_t>(header + 8, kGraphFileVersion);
  store_le<uint32_t>(header + 12, wide ? 8 : 4);
  store_le<uint64_t>(header + 16, n);
  store_le<uint64_t>(header + 24, graph.edge_count);
  store_le<uint64_t>(header + 32, snap.entry_count());
  store_le<uint64_t>(header + 40, xxh64({header, 40}));

  uint8_t* body = out + kGraphFileHeaderBytes;
  uint8_t* p = store_array_le<int64_t>(body, snap.node_ids.data(), n);
  p = store_array_le<uint32_t>(p, snap.degrees.data(), n);
  if (wide) {
    p = store_array_le<uint64_t>(p, snap.neighbor_index64.data(), snap.neighbor_index64.size());
  } else {
    p = store_array_le<uint32_t>(p, snap.neighbor_index32.data(), snap.neighbor_index32.size());
  }
  store_le<uint64_t>(p, xxh64({body, static_cast<size_t>(p - body)}));
}

uint64_t graph_file_size_from_header(std::span<const uint8_t> head) { return parse_header(head).total_bytes; }

void read_graph_file(std::span<const uint8_t> image, GraphState& graph) {
  Header h = parse_header(image);
  if (image.size() < h.total_bytes) {
    fail("truncated: the file has " + std::to_string(image.size()) + " bytes, its header announces " +
         std::to_string(h.total_bytes));
  }
  if (image.size() > h.total_bytes) corrupted("unexpected bytes after the end of the graph");
  std::span<const uint8_t> body = image.subspan(kGraphFileHeaderBytes, h.total_bytes - kGraphFileHeaderBytes - kTrailerBytes);
  if (xxh64(body) != load_le<uint64_t>(image.data() + h.total_bytes - kTrailerBytes)) {
    corrupted("checksum mismatch");
  }
  if (h.index_bytes == 8) {
    build_from_runs<uint64_t>(h, body.data(), graph);
  } else {
    build_from_runs<uint32_t>(h, body.data(), graph);
  }
}

}  // namespace arborvane
