// Writes the bus's transfers as a capture in the USBPcap format (pcap link type 249), which
// standard USB protocol analyzers decode.  Each transfer appears as its submission and its
// completion, control transfers as their setup stage, their OUT data stage, and on completion
// their IN data stage or their status stage.  Timestamps come from the virtual clock.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>

#include "platform/usb/transfer.h"

namespace usb {

inline constexpr std::uint32_t kLinkTypeUsbPcap = 249;

class PcapWriter : public TransferObserver {
 public:
  // Writes the file header at once.  `out` must stay open while the writer lives; the caller
  // checks it for write errors.
  explicit PcapWriter(std::ostream& out);

  void transfer_submitted(const TransferEvent& event) override;
  void transfer_completed(const TransferEvent& event) override;

  std::uint64_t records() const { return records_; }

 private:
  enum class Stage : std::uint8_t { Setup = 0, Data = 1, Status = 2 };
  void write_record(const TransferEvent& event, std::optional<Stage> stage, std::span<const std::uint8_t> data);

  std::ostream& out_;
  std::uint64_t records_ = 0;
};

}  // namespace usb
