#include "app/commands/port_fields.h"

#include <string>
#include <type_traits>
#include <vector>

#include "app/script/script_error.h"
#include "serial_driver/vxdif.h"

namespace app {
namespace {

// Signed fields show their bits: dwLastError -10 is 0xfffffff6.
template <typename T>
std::uint64_t bits(T value) {
  return static_cast<std::make_unsigned_t<T>>(value);
}

#define KRL_OBJECT_FIELD(f) PortField{#f, [](const krlusb::_OurPortData& p) { return bits(p.f); }}
#define KRL_BLOCK_FIELD(f) PortField{#f, [](const krlusb::_OurPortData& p) { return bits(p.m_pd.f); }}
#define KRL_TIMEOUT_FIELD(f) PortField{#f, [](const krlusb::_OurPortData& p) { return bits(p.m_pd.COMMTO.f); }}

const std::vector<PortField>& port_fields() {
  static const std::vector<PortField> fields = {
      // the port object
      KRL_OBJECT_FIELD(m_iobase), KRL_OBJECT_FIELD(m_irq), KRL_OBJECT_FIELD(m_devnode), KRL_OBJECT_FIELD(m_open),
      KRL_OBJECT_FIELD(m_owner), KRL_OBJECT_FIELD(m_eventmask), KRL_OBJECT_FIELD(m_TxTrigger),
      KRL_OBJECT_FIELD(m_RxTrigger), KRL_OBJECT_FIELD(m_EvData), KRL_OBJECT_FIELD(m_RxData),
      KRL_OBJECT_FIELD(m_TxData), KRL_OBJECT_FIELD(m_MiscFlags), KRL_OBJECT_FIELD(m_NfyFlags),
      KRL_OBJECT_FIELD(m_oldmask), KRL_OBJECT_FIELD(m_TxFifoTrigger), KRL_OBJECT_FIELD(m_QOutMod),
      KRL_OBJECT_FIELD(m_XOffPoint), KRL_OBJECT_FIELD(m_flags), KRL_OBJECT_FIELD(m_HSFlag),
      KRL_OBJECT_FIELD(m_HHSLines), KRL_OBJECT_FIELD(m_OutHHSLines), KRL_OBJECT_FIELD(m_ImmedChar),
      KRL_OBJECT_FIELD(m_RxFifoTrigger), KRL_OBJECT_FIELD(m_LSRShadow), KRL_OBJECT_FIELD(m_ErrorMask),
      KRL_OBJECT_FIELD(m_RxMask), KRL_OBJECT_FIELD(m_MSRTimeout), KRL_OBJECT_FIELD(m_MSRInfinite),
      KRL_OBJECT_FIELD(m_signature), KRL_OBJECT_FIELD(LCR), KRL_OBJECT_FIELD(MCR), KRL_OBJECT_FIELD(MSR),
      KRL_OBJECT_FIELD(Int_flag), KRL_OBJECT_FIELD(QueueStatus), KRL_OBJECT_FIELD(OutPipeStop),
      KRL_OBJECT_FIELD(IntPipeStatus), KRL_OBJECT_FIELD(TxQSize), KRL_OBJECT_FIELD(TxQCount),
      KRL_OBJECT_FIELD(TxQGet), KRL_OBJECT_FIELD(TxQPut), KRL_OBJECT_FIELD(PipeStatus), KRL_OBJECT_FIELD(InRead),
      KRL_OBJECT_FIELD(InVendorCommand), KRL_OBJECT_FIELD(LowIrpEnable), KRL_OBJECT_FIELD(OutPipeStatus),
      KRL_OBJECT_FIELD(TimerCount), KRL_OBJECT_FIELD(TimerStart), KRL_OBJECT_FIELD(TimerStop),
      KRL_OBJECT_FIELD(LastPurgeRx), KRL_OBJECT_FIELD(LastPurgeTx), KRL_OBJECT_FIELD(PreQOutCount),
      KRL_OBJECT_FIELD(PreQOutGet),
      // its port-data block
      KRL_BLOCK_FIELD(PDLength), KRL_BLOCK_FIELD(PDVersion), KRL_BLOCK_FIELD(PDNumFunctions),
      KRL_BLOCK_FIELD(dwLastError), KRL_BLOCK_FIELD(dwClientEventMask), KRL_BLOCK_FIELD(dwClientRefData),
      KRL_BLOCK_FIELD(dwWin31Req), KRL_BLOCK_FIELD(dwClientEvent), KRL_BLOCK_FIELD(dwCallerVMId),
      KRL_BLOCK_FIELD(dwDetectedEvents), KRL_BLOCK_FIELD(dwCommError), KRL_BLOCK_FIELD(bMSRShadow),
      KRL_BLOCK_FIELD(wFlags), KRL_BLOCK_FIELD(LossByte), KRL_BLOCK_FIELD(QInSize), KRL_BLOCK_FIELD(QOutSize),
      KRL_BLOCK_FIELD(QInCount), KRL_BLOCK_FIELD(QInGet), KRL_BLOCK_FIELD(QInPut), KRL_BLOCK_FIELD(QOutCount),
      KRL_BLOCK_FIELD(QOutGet), KRL_BLOCK_FIELD(QOutPut), KRL_BLOCK_FIELD(ValidPortData),
      KRL_BLOCK_FIELD(dwLastReceiveTime), KRL_BLOCK_FIELD(dwReserved1), KRL_BLOCK_FIELD(dwReserved2),
      KRL_TIMEOUT_FIELD(ReadIntervalTimeout), KRL_TIMEOUT_FIELD(ReadTotalTimeoutMultiplier),
      KRL_TIMEOUT_FIELD(ReadTotalTimeoutConstant), KRL_TIMEOUT_FIELD(WriteTotalTimeoutMultiplier),
      KRL_TIMEOUT_FIELD(WriteTotalTimeoutConstant),
  };
  return fields;
}

#undef KRL_OBJECT_FIELD
#undef KRL_BLOCK_FIELD
#undef KRL_TIMEOUT_FIELD

}  // namespace

const PortField& find_port_field(std::string_view name) {
  std::string names;
  for (const PortField& field : port_fields()) {
    if (field.name == name) return field;
    names += (names.empty() ? "" : " ") + std::string(field.name);
  }
  throw ScriptError("no port field '" + std::string(name) + "' (one of: " + names + ")");
}

std::uint64_t read_port_field(const PortField& field) {
  if (krlusb::pOurPort == nullptr) throw ScriptError("there is no port object (createport makes one)");
  return field.read(*krlusb::pOurPort);
}

}  // namespace app
