#include "platform/vcomm/notification_recorder.h"

#include <map>
#include <mutex>
#include <utility>

namespace vcomm {
namespace {

// Recorders by reference number.  Numbers are never reused, so a stale one finds nobody.
struct Recorders {
  std::mutex mutex;
  std::map<ULONG, NotificationRecorder*> by_reference;
  ULONG next_reference = 1;
};

Recorders& recorders() {
  static Recorders all;
  return all;
}

}  // namespace

NotificationRecorder::NotificationRecorder() {
  Recorders& all = recorders();
  std::lock_guard lock(all.mutex);
  reference_ = all.next_reference++;
  all.by_reference.emplace(reference_, this);
}

NotificationRecorder::~NotificationRecorder() {
  Recorders& all = recorders();
  std::lock_guard lock(all.mutex);
  all.by_reference.erase(reference_);
}

void NotificationRecorder::callback(_PORTDATA* /*port*/, ULONG reference, ULONG code, ULONG events) {
  Recorders& all = recorders();
  std::lock_guard lock(all.mutex);
  auto it = all.by_reference.find(reference);
  if (it != all.by_reference.end()) it->second->delivered_.push_back({code, events});
}

std::vector<Notification> NotificationRecorder::take() {
  std::lock_guard lock(recorders().mutex);
  return std::exchange(delivered_, {});
}

}  // namespace vcomm
