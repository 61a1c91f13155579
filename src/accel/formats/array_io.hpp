// Whole-graph data in and out as flat native arrays: exports written straight
// into caller-owned memory, the binary graph file, and edge-list text.
//
// Everything here works on native values only and polls for interruption,
// so the boundary can run it detached from the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "accel/store/graph_state.hpp"

namespace arborvane {

// ---- exports (array_export.cpp) ---------------------------------------------
// Each writes in the order of the matching list export: node ids and degrees
// in adjacency-map iteration order, edges as (u, v) with u <= v exactly as
// edges() lists them. `out` has room for number of nodes ids, number of nodes
// degrees, or 2 * edge_count ids.
void write_node_ids(const GraphState& graph, int64_t* out);
void write_degrees(const GraphState& graph, int64_t* out);
void write_edge_pairs(const GraphState& graph, int64_t* out);

// ---- binary graph file (graph_file.cpp) -------------------------------------
//
// Layout, every number little-endian:
//   offset  size  field
//        0     8  magic 89 41 56 47 0D 0A 1A 0A ("\x89AVG\r\n\x1a\n")
//        8     4  format version (1)
//       12     4  bytes per neighbour index (4 or 8)
//       16     8  n: number of nodes
//       24     8  m: number of edges
//       32     8  e: number of neighbour entries (2m minus the self-loops)
//       40     8  XXH64 (seed 0) of bytes 0..39
//       48  8n    node ids, int64, in adjacency-map iteration order
//           4n    degrees, uint32, aligned with the ids
//           w*e   neighbour runs: node i's neighbours as indices into the
//                 ids, ascending, one run per node in node order
//      end-8   8  XXH64 (seed 0) of everything between the header and here
inline constexpr size_t kGraphFileHeaderBytes = 48;
inline constexpr uint32_t kGraphFileVersion = 1;

// XXH64 of `bytes` with `seed`.
uint64_t xxh64(std::span<const uint8_t> bytes, uint64_t seed = 0);

// The size of the file image for `graph` (building its snapshot first).
size_t graph_file_size(GraphState& graph);
// Writes the file image of `graph` to `out` (graph_file_size bytes). Builds
// the snapshot when absent, like the analytics do.
void write_graph_file(GraphState& graph, uint8_t* out);

// The total file size announced by a header (at least kGraphFileHeaderBytes
// of the file's start, or fewer when the file is that short). Throws
// InvalidRequest naming what is wrong: not a graph file, unsupported
// version, truncated or corrupted header.
uint64_t graph_file_size_from_header(std::span<const uint8_t> head);

// Builds the graph stored in `image` into `graph`, which must be new. Throws
// InvalidRequest (truncated, corrupted, ...) after checking everything a
// damaged or hostile file could get wrong; `graph` is then to be discarded.
void read_graph_file(std::span<const uint8_t> image, GraphState& graph);

// ---- edge-list text (edge_text.cpp) ------------------------------------------
// Upper bound of the text that format_edge_lines writes for `pairs` pairs.
size_t edge_lines_capacity(size_t pairs);
// Writes one "u v\n" line per pair of `flat` (an even number of ids) to `out`
// and returns the number of bytes written.
size_t format_edge_lines(std::span<const int64_t> flat, char* out);

}  // namespace arborvane
