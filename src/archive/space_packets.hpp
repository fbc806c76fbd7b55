// The index of a CCSDS space packet stream: where each packet lies and its primary header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tessel::archive {

inline constexpr std::size_t kPrimaryHeaderBytes = 6;

// One array a column, one element a packet; all null for a counting pass.
struct PacketColumns {
  std::int64_t* start = nullptr;   // the packet's first byte (after its record header)
  std::int64_t* length = nullptr;  // the whole packet, primary header included
  std::uint8_t* version = nullptr;
  std::uint8_t* type = nullptr;
  std::uint8_t* secondary_header = nullptr;
  std::uint16_t* apid = nullptr;
  std::uint8_t* sequence_flags = nullptr;
  std::uint16_t* sequence_count = nullptr;
  std::uint16_t* data_length = nullptr;  // the header's field: bytes in the data field minus one
};

struct PacketScan {
  std::size_t count = 0;  // whole packets
  // A stream that ends inside a packet (or its record header): where that packet starts and how
  // many bytes it lacks. It is not counted.
  bool cut = false;
  std::size_t cut_offset = 0;
  std::size_t cut_missing = 0;
  // A header whose version is not 0, which no space packet has: the scan stops there.
  bool garbage = false;
  std::size_t garbage_offset = 0;
  unsigned garbage_version = 0;
};

// Walks the packets back to back, each behind `record_header_bytes` bytes of its own, and fills
// `columns` (when not null: then sized by a counting pass over the same bytes).
PacketScan scan_packets(std::span<const std::uint8_t> data, std::size_t record_header_bytes,
                        const PacketColumns* columns) noexcept;

}  // namespace tessel::archive
