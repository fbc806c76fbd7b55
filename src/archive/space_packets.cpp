#include "archive/space_packets.hpp"

namespace tessel::archive {

PacketScan scan_packets(std::span<const std::uint8_t> data, std::size_t record_header_bytes,
                        const PacketColumns* columns) noexcept {
  PacketScan scan;
  const std::size_t size = data.size();
  std::size_t offset = 0;
  while (offset < size) {
    const std::size_t start = offset + record_header_bytes;
    if (size - offset < record_header_bytes + kPrimaryHeaderBytes) {
      scan.cut = true;
      scan.cut_offset = start <= size ? start : offset;
      scan.cut_missing = record_header_bytes + kPrimaryHeaderBytes - (size - offset);
      break;
    }
    const std::uint8_t* h = data.data() + start;
    const unsigned version = h[0] >> 5;
    if (version != 0) {
      scan.garbage = true;
      scan.garbage_offset = start;
      scan.garbage_version = version;
      break;
    }
    const std::uint16_t data_length = static_cast<std::uint16_t>(h[4] << 8 | h[5]);
    const std::size_t length = std::size_t{data_length} + kPrimaryHeaderBytes + 1;
    if (size - start < length) {
      scan.cut = true;
      scan.cut_offset = start;
      scan.cut_missing = length - (size - start);
      break;
    }
    if (columns != nullptr) {
      const std::size_t i = scan.count;
      columns->start[i] = static_cast<std::int64_t>(start);
      columns->length[i] = static_cast<std::int64_t>(length);
      columns->version[i] = static_cast<std::uint8_t>(version);
      columns->type[i] = static_cast<std::uint8_t>(h[0] >> 4 & 1);
      columns->secondary_header[i] = static_cast<std::uint8_t>(h[0] >> 3 & 1);
      columns->apid[i] = static_cast<std::uint16_t>((h[0] & 0x07) << 8 | h[1]);
      columns->sequence_flags[i] = static_cast<std::uint8_t>(h[2] >> 6);
      columns->sequence_count[i] = static_cast<std::uint16_t>((h[2] & 0x3F) << 8 | h[3]);
      columns->data_length[i] = data_length;
    }
    ++scan.count;
    offset = start + length;
  }
  return scan;
}

}  // namespace tessel::archive
