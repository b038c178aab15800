#include "platform/usb/pcap_writer.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace usb {

namespace {

constexpr std::uint16_t kPacketHeaderLength = 27;  // one more for a control transfer's stage byte
constexpr std::uint8_t kInfoCompletion = 0x01;     // PDO to FDO: the request is coming back
constexpr std::uint32_t kSnapLength = 65535;

// USBPcap's own numbering of transfer types.
std::uint8_t capture_type(TransferType type) {
  switch (type) {
    case TransferType::Isochronous: return 0;
    case TransferType::Interrupt: return 1;
    case TransferType::Control: return 2;
    case TransferType::Bulk: return 3;
  }
  return 0xFF;
}

class Bytes {
 public:
  void u8(std::uint8_t v) { data_.push_back(v); }
  void u16(std::uint16_t v) { put(v, 2); }
  void u32(std::uint32_t v) { put(v, 4); }
  void u64(std::uint64_t v) { put(v, 8); }
  void append(std::span<const std::uint8_t> bytes) { data_.insert(data_.end(), bytes.begin(), bytes.end()); }
  const std::vector<std::uint8_t>& data() const { return data_; }
  void write_to(std::ostream& out) const {
    out.write(reinterpret_cast<const char*>(data_.data()), static_cast<std::streamsize>(data_.size()));
  }

 private:
  void put(std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) data_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::vector<std::uint8_t> data_;
};

}  // namespace

PcapWriter::PcapWriter(std::ostream& out) : out_(out) {
  Bytes header;
  header.u32(0xA1B2C3D4);  // microsecond timestamps, written in our byte order
  header.u16(2);
  header.u16(4);
  header.u32(0);  // time zone
  header.u32(0);  // accuracy
  header.u32(kSnapLength);
  header.u32(kLinkTypeUsbPcap);
  header.write_to(out_);
}

void PcapWriter::transfer_submitted(const TransferEvent& event) {
  if (event.type != TransferType::Control) {
    write_record(event, std::nullopt, event.data);
    return;
  }
  const auto* setup = reinterpret_cast<const std::uint8_t*>(&*event.setup);
  write_record(event, Stage::Setup, std::span(setup, sizeof(USB_SETUP_PACKET)));
  if (!event.in() && !event.data.empty()) write_record(event, Stage::Data, event.data);
}

void PcapWriter::transfer_completed(const TransferEvent& event) {
  const auto returned = event.in() ? event.data : std::span<const std::uint8_t>{};
  if (event.type != TransferType::Control) {
    write_record(event, std::nullopt, returned);
    return;
  }
  write_record(event, returned.empty() ? Stage::Status : Stage::Data, returned);
}

void PcapWriter::write_record(const TransferEvent& event, std::optional<Stage> stage,
                              std::span<const std::uint8_t> data) {
  Bytes packet;
  packet.u16(static_cast<std::uint16_t>(kPacketHeaderLength + (stage ? 1 : 0)));
  packet.u64(event.id);
  packet.u32(static_cast<std::uint32_t>(event.completion ? event.status : USBD_STATUS_SUCCESS));
  packet.u16(event.urb_function);
  packet.u8(event.completion ? kInfoCompletion : 0);
  packet.u16(1);  // the one bus
  packet.u16(event.address);
  packet.u8(event.endpoint);
  packet.u8(capture_type(event.type));
  packet.u32(static_cast<std::uint32_t>(data.size()));
  if (stage) packet.u8(static_cast<std::uint8_t>(*stage));
  packet.append(data);

  const auto microseconds = event.time / sim::kTicksPerMicrosecond;
  Bytes record;
  record.u32(static_cast<std::uint32_t>(microseconds / 1'000'000));
  record.u32(static_cast<std::uint32_t>(microseconds % 1'000'000));
  const auto length = static_cast<std::uint32_t>(packet.data().size());
  record.u32(std::min(length, kSnapLength));
  record.u32(length);
  record.write_to(out_);
  out_.write(reinterpret_cast<const char*>(packet.data().data()),
             static_cast<std::streamsize>(std::min(length, kSnapLength)));
  ++records_;
}

}  // namespace usb
