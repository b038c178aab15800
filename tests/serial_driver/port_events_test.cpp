// The port's event word and mask, the client's callbacks with their triggers, and the delivery of
// notifications.
#include <vector>

#include "tests/serial_driver/port_fixture.h"

namespace krlusb_test {
namespace {

using namespace krlusb;

struct Notification {
  _PORTDATA* block;
  ULONG ref;
  ULONG code;
  ULONG events;
};
std::vector<Notification> notifications;

void record(_PORTDATA* block, ULONG ref, ULONG code, ULONG events) {
  notifications.push_back({block, ref, code, events});
}

class PortEventsTest : public PortTest {
 protected:
  void SetUp() override {
    notifications.clear();
    plug_and_open("5");
    ASSERT_NE(pOurPort, nullptr);
  }
};

TEST_F(PortEventsTest, GetEventMaskReturnsEveryRecordedEventAndClearsTheAskedOnes) {
  struct Case {
    ULONG mask;
    ULONG left;
  };
  for (const Case& c : {Case{0, EV_CTS | EV_RXCHAR}, Case{EV_CTS | EV_RING, EV_RXCHAR}, Case{0xFFFFFFFF, 0}}) {
    SCOPED_TRACE(c.mask);
    pd()->dwDetectedEvents = EV_CTS | EV_RXCHAR;
    pd()->dwLastError = IE_OPEN;
    ULONG events = 0;
    in_driver([&] { GetEventMask(pd(), c.mask, &events); });
    EXPECT_EQ(events, EV_CTS | EV_RXCHAR);
    EXPECT_EQ(pd()->dwDetectedEvents, c.left);
    EXPECT_EQ(pd()->dwLastError, 0);
  }
}

TEST_F(PortEventsTest, ANewEventWordTakesLaterEventsAndLeavesTheOldOneAlone) {
  pd()->dwDetectedEvents = EV_CTS;
  ULONG client_word = 0;
  in_driver([&] { SetEventMask(pd(), EV_CTS | EV_DSR, &client_word); });
  EXPECT_EQ(port()->m_eventmask, EV_CTS | EV_DSR);
  EXPECT_EQ(port()->m_pEvent, &client_word);
  EXPECT_EQ(pd()->dwDetectedEvents, EV_CTS);
  EXPECT_EQ(client_word, 0U);

  // The recorded EV_CTS is in the old word: enabling finds nothing pending in the new one.
  in_driver([&] { EnableNotification(pd(), record, 1); });
  EXPECT_TRUE(notifications.empty());
  client_word = EV_DSR;
  in_driver([&] { EnableNotification(pd(), record, 2); });
  ASSERT_EQ(notifications.size(), 1U);
  EXPECT_EQ(notifications[0].events, EV_DSR);

  // Without a word the mask changes and the word stays.
  in_driver([&] { SetEventMask(pd(), EV_RING, nullptr); });
  EXPECT_EQ(port()->m_eventmask, EV_RING);
  EXPECT_EQ(port()->m_pEvent, &client_word);
}

TEST_F(PortEventsTest, EnableNotificationCallsAtOnceOnlyForMaskedPendingEvents) {
  struct Case {
    const char* what;
    PortNotifyProc callback;
    ULONG mask;
    bool called;
  };
  for (const Case& c : {Case{"masked", record, EV_CTS, true}, Case{"not masked", record, EV_DSR, false},
                        Case{"no callback", nullptr, EV_CTS, false}}) {
    SCOPED_TRACE(c.what);
    notifications.clear();
    port()->m_NfyFlags = 0;
    pd()->dwDetectedEvents = EV_CTS;
    in_driver([&] {
      SetEventMask(pd(), c.mask, nullptr);
      EnableNotification(pd(), c.callback, 0x55);
    });
    ASSERT_EQ(notifications.size(), c.called ? 1U : 0U);
    if (c.called) {
      EXPECT_EQ(notifications[0].block, pd());
      EXPECT_EQ(notifications[0].ref, 0x55U);
      EXPECT_EQ(notifications[0].code, CN_EVENT);
      EXPECT_EQ(notifications[0].events, EV_CTS);
    }
    EXPECT_EQ((port()->m_NfyFlags & NF_EVENT_CALLBACK) != 0, c.callback != nullptr);
    EXPECT_EQ((port()->m_NfyFlags & NF_EVENT_SENT) != 0, c.called);
    EXPECT_EQ(port()->m_EvNotify, c.callback);
    EXPECT_EQ(pd()->dwDetectedEvents, EV_CTS);
  }
}

TEST_F(PortEventsTest, EachNotificationGoesToItsCallbackAndIsMarkedEvenWithoutOne) {
  struct Case {
    ULONG code;
    ULONG ref;
    UCHAR mark;
  };
  const Case cases[] = {{CN_RECEIVE, 0x11, NF_RECEIVE_SENT}, {CN_TRANSMIT, 0x22, NF_TRANSMIT_SENT},
                        {CN_EVENT, 0x44, NF_EVENT_SENT}};
  pd()->dwDetectedEvents = EV_RXCHAR;
  for (bool with_callbacks : {false, true}) {
    in_driver([&] {
      PortNotifyProc callback = with_callbacks ? record : nullptr;
      SetReadCallback(pd(), 1, callback, 0x11);
      SetWriteCallback(pd(), 1, callback, 0x22);
      EnableNotification(pd(), callback, 0x44);
    });
    for (const Case& c : cases) {
      SCOPED_TRACE(c.code);
      notifications.clear();
      port()->m_NfyFlags = 0;
      in_driver([&] { CallNotifyProc(port(), c.code); });
      EXPECT_EQ(port()->m_NfyFlags, c.mark);
      if (!with_callbacks) {
        EXPECT_TRUE(notifications.empty());
        continue;
      }
      ASSERT_EQ(notifications.size(), 1U);
      EXPECT_EQ(notifications[0].block, pd());
      EXPECT_EQ(notifications[0].ref, c.ref);
      EXPECT_EQ(notifications[0].code, c.code);
      EXPECT_EQ(notifications[0].events, EV_RXCHAR);
    }
  }
  in_driver([&] { SetReadCallback(pd(), 1, nullptr, 0); });
}

TEST_F(PortEventsTest, ReadTriggersAreClampedToTheReceiveQueue) {
  struct Case {
    ULONG trigger;
    bool callback;
    ULONG stored;
  };
  pd()->QInSize = 4096;
  for (const Case& c : {Case{5000, true, 4096}, Case{100, true, 100}, Case{0xFFFFFFFF, true, 0xFFFFFFFF},
                        Case{100, false, 0xFFFFFFFF}}) {
    SCOPED_TRACE(c.trigger);
    pd()->dwLastError = IE_OPEN;
    in_driver([&] { SetReadCallback(pd(), c.trigger, c.callback ? record : nullptr, 9); });
    EXPECT_EQ(port()->m_RxTrigger, c.stored);
    EXPECT_EQ(port()->m_RxNotify, c.callback ? record : nullptr);
    EXPECT_EQ(pd()->dwLastError, IE_OPEN);
  }
}

TEST_F(PortEventsTest, TheReceiveTimeIsClearedOnlyWhenNothingWaits) {
  for (ULONG waiting : {0U, 10U}) {
    SCOPED_TRACE(waiting);
    pd()->QInCount = waiting;
    pd()->dwLastReceiveTime = 1234;
    in_driver([&] { SetReadCallback(pd(), 1, nullptr, 0); });
    EXPECT_EQ(pd()->dwLastReceiveTime, waiting == 0 ? 0U : 1234U);
  }
}

TEST_F(PortEventsTest, WriteTriggersAreClampedOnlyForTheClientsQueue) {
  struct Case {
    ULONG trigger;
    USHORT flags;
    bool callback;
    ULONG stored;
  };
  pd()->QOutSize = 4096;
  for (const Case& c : {Case{0xFFFFFFFF, 0, true, 0}, Case{9000, MF_CLIENT_TXQUEUE, true, 4096},
                        Case{9000, 0, true, 9000}, Case{100, 0, false, 0}}) {
    SCOPED_TRACE(c.trigger);
    port()->m_MiscFlags = c.flags;
    pd()->dwLastError = IE_OPEN;
    in_driver([&] { SetWriteCallback(pd(), c.trigger, c.callback ? record : nullptr, 9); });
    EXPECT_EQ(port()->m_TxTrigger, c.stored);
    EXPECT_EQ(port()->m_TxNotify, c.callback ? record : nullptr);
    EXPECT_EQ(pd()->dwLastError, IE_OPEN);
  }
}

}  // namespace
}  // namespace krlusb_test
