// Admission: BeginRequest in every state of the port, the line-error gate, the queue of
// requests held while a stop is pending, and passing requests down.
#include "emu/kernel/sched.h"
#include "requests/held.h"
#include "tests/requests/support/engine_fixture.h"

using namespace quella_test;
using emu::app::Operation;
using emu::app::Result;

namespace {

class AdmissionTest : public EngineTest {
  protected:
    void Accept(ULONG bits, BOOLEAN set) { ChangeFlagsLocked(Port, &Port->AcceptFlags, bits, set); }
    Result Record(ULONG value) { return app_.DeviceIoControlIn(kRecordIoctl, value); }
    std::vector<ULONG> Recorded() {
        std::lock_guard<std::mutex> lock(Fakes().mutex);
        return Fakes().recorded;
    }
};

}  // namespace

TEST_F(AdmissionTest, RemovedOrFailedPortRefusesEverythingButPlugAndPlay) {
    struct {
        PULONG word;
        ULONG bits;
    } const states[] = {{&Port->AcceptFlags, ACCEPT_REMOVING},
                        {&Port->AcceptFlags, ACCEPT_SURPRISE_REMOVED},
                        {&Port->DeviceStateFlags, STATE_HARDWARE_FAILED},
                        {&Port->AcceptFlags, ACCEPT_REMOVING | ACCEPT_STOPPING}};
    for (const auto& state : states) {
        ChangeFlagsLocked(Port, state.word, state.bits, TRUE);
        Result read = app_.Read(4);
        EXPECT_EQ(read.status, STATUS_DELETE_PENDING) << state.bits;
        EXPECT_EQ(read.dispatch_status, STATUS_DELETE_PENDING);
        EXPECT_EQ(app_.Write("ab").status, STATUS_DELETE_PENDING);
        EXPECT_EQ(Record(1).status, STATUS_DELETE_PENDING);
        EXPECT_EQ(SentStatus(Send(IRP_MJ_POWER, IRP_MN_QUERY_POWER)), STATUS_DELETE_PENDING);
        // Plug and Play requests still reach the bus driver below.
        EXPECT_EQ(SentStatus(Send(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE)), STATUS_SUCCESS);
        EXPECT_EQ(Port->ActiveRequestCount, 1);
        ChangeFlagsLocked(Port, state.word, state.bits, FALSE);
    }
    EXPECT_EQ(Port->AcceptFlags, 0u);
    EXPECT_EQ(Port->DeviceStateFlags, 0u);
    EXPECT_TRUE(Recorded().empty());

    // Once a stop has been carried out (only ACCEPT_STOPPED), requests are admitted again.
    Accept(ACCEPT_STOPPED, TRUE);
    EXPECT_EQ(Record(2).status, STATUS_SUCCESS);
    EXPECT_EQ(SentStatus(Send(IRP_MJ_POWER, IRP_MN_QUERY_POWER)), STATUS_SUCCESS);
    EXPECT_EQ(Recorded(), std::vector<ULONG>{2});
    Accept(ACCEPT_STOPPED, FALSE);
}

TEST_F(AdmissionTest, RequestsHeldDuringAStopReplayInOrderOrCancelOnce) {
    Accept(ACCEPT_STOPPING, TRUE);
    std::vector<Operation> held;
    for (ULONG value : {1u, 2u, 3u}) {
        held.push_back(app_.DeviceIoControlAsync(kRecordIoctl, &value, sizeof value));
    }
    ULONG four = 4;
    Operation cancelled = app_.DeviceIoControlAsync(kRecordIoctl, &four, sizeof four);
    Operation read = app_.ReadAsync(8);
    // Plug and Play goes on; a request cancelled before it could be held is answered at once.
    EXPECT_EQ(SentStatus(Send(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE)), STATUS_SUCCESS);
    PIRP precancelled = Send(IRP_MJ_DEVICE_CONTROL, kRecordIoctl, /*cancelled=*/true, 9);
    EXPECT_EQ(SentStatus(precancelled), STATUS_CANCELLED);

    emu::Settle();
    for (Operation& op : held) {
        EXPECT_FALSE(op.Done());
        EXPECT_EQ(op.DispatchStatus(), STATUS_PENDING);
    }
    EXPECT_TRUE(Recorded().empty());
    EXPECT_EQ(Port->ActiveRequestCount, 1);  // a held request is not counted

    ASSERT_TRUE(cancelled.Cancel());
    Result result = cancelled.Wait();
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);

    // The stop, then the restart, which dispatches the held requests again.
    Accept(ACCEPT_STOPPING, FALSE);
    Accept(ACCEPT_STOPPED, TRUE);
    ReleaseHeldRequests(Port);
    Accept(ACCEPT_STOPPED, FALSE);
    EXPECT_EQ(Recorded(), (std::vector<ULONG>{1, 2, 3}));
    for (Operation& op : held) {
        EXPECT_EQ(op.Wait().status, STATUS_SUCCESS);
    }
    EXPECT_EQ(Port->CurrentReadRequest, read.Irp());  // the replayed read is being served
    FinishTransfer(Path::Read);
    EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
}

TEST_F(AdmissionTest, RemovalCancelsHeldRequestsNewestFirst) {
    Accept(ACCEPT_STOPPING, TRUE);
    PIRP first = Send(IRP_MJ_READ, 4);
    PIRP second = Send(IRP_MJ_WRITE, 3);
    PIRP third = Send(IRP_MJ_DEVICE_CONTROL, kRecordIoctl);
    EXPECT_TRUE(Completions().empty());
    CancelAllHeld(port_);
    EXPECT_EQ(Completions(), (std::vector<PIRP>{third, second, first}));
    for (PIRP irp : {first, second, third}) {
        EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
        EXPECT_EQ(irp->IoStatus.Information, 0u);
    }
    ReleaseHeldRequests(Port);  // nothing left to replay
    EXPECT_TRUE(Recorded().empty());
    Accept(ACCEPT_STOPPING, FALSE);
}

TEST_F(AdmissionTest, AbortingLineErrorCancelsDataRequestsUntilTheErrorsAreRead) {
    Port->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    Port->LineErrorBits = SERIAL_ERROR_FRAMING;
    Result read = app_.Read(4);
    EXPECT_EQ(read.status, STATUS_CANCELLED);
    EXPECT_EQ(read.dispatch_status, STATUS_CANCELLED);
    EXPECT_EQ(app_.Write("abc").status, STATUS_CANCELLED);
    EXPECT_EQ(Record(1).status, STATUS_CANCELLED);
    EXPECT_EQ(Port->QueuedWriteChars, 0u);
    EXPECT_EQ(Port->ActiveRequestCount, 1);

    EXPECT_EQ(app_.DeviceIoControl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Record(2).status, STATUS_SUCCESS);

    // Without SERIAL_ERROR_ABORT, line errors stop nothing.
    Port->HandFlow.ControlHandShake &= ~SERIAL_ERROR_ABORT;
    Port->LineErrorBits = SERIAL_ERROR_PARITY;
    EXPECT_EQ(Record(3).status, STATUS_SUCCESS);
    EXPECT_EQ(Recorded(), (std::vector<ULONG>{2, 3}));
    Port->LineErrorBits = 0;
}
