// Queues and current requests: start or queue, FIFO advance, cancellation of queued and current
// requests and the character count of queued writes.
#include "emu/kernel/pool.h"
#include "emu/kernel/sched.h"
#include "requests/deferred.h"
#include "tests/requests/support/engine_fixture.h"

using namespace quella_test;
using emu::app::Operation;
using emu::app::Result;

namespace {

using QueueTest = EngineTest;

std::vector<uint8_t> Bytes(size_t n) {
    return std::vector<uint8_t>(n, 'x');
}

}  // namespace

TEST_F(QueueTest, CancelQueueAndCurrentGoesNewestFirstAndCurrentLast) {
    std::vector<PIRP> writes;
    for (ULONG length : {10u, 20u, 30u, 40u}) {
        writes.push_back(Send(IRP_MJ_WRITE, length));
    }
    EXPECT_EQ(Port->CurrentWriteRequest, writes[0]);
    EXPECT_EQ(Port->QueuedWriteChars, 100u);
    CancelQueueAndCurrent(port_, &Port->WriteQueue, &Port->CurrentWriteRequest);
    EXPECT_EQ(Completions(), (std::vector<PIRP>{writes[3], writes[2], writes[1], writes[0]}));
    for (PIRP irp : writes) {
        EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
        EXPECT_EQ(irp->IoStatus.Information, 0u);
    }
    EXPECT_EQ(Port->QueuedWriteChars, 0u);
    // Nothing queued or current: nothing happens.
    CancelQueueAndCurrent(port_, &Port->WriteQueue, &Port->CurrentWriteRequest);
}

TEST_F(QueueTest, LineErrorDpcCancelsWritesThenReads) {
    PIRP read1 = Send(IRP_MJ_READ, 4);
    PIRP read2 = Send(IRP_MJ_READ, 4);
    PIRP write1 = Send(IRP_MJ_WRITE, 5);
    PIRP write2 = Send(IRP_MJ_WRITE, 6);
    QueueCountedDpc(&Port->LineErrorDpc, nullptr, nullptr, Port);
    EXPECT_EQ(Completions(), (std::vector<PIRP>{write2, write1, read2, read1}));
    for (PIRP irp : {read1, read2, write1, write2}) {
        EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    }
}

TEST_F(QueueTest, QueuedWriteCharsFollowWritesInAndOut) {
    Operation first = app_.WriteAsync(Bytes(10));
    Operation second = app_.WriteAsync(Bytes(20));
    Operation third = app_.WriteAsync(Bytes(5));
    EXPECT_EQ(second.DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(Port->QueuedWriteChars, 35u);

    // Cancelled while queued: its characters go back.
    ASSERT_TRUE(second.Cancel());
    Result cancelled = second.Wait();
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);
    EXPECT_EQ(Port->QueuedWriteChars, 15u);

    // Already cancelled when it reaches a busy queue: refused, nothing counted.
    PIRP refused = Send(IRP_MJ_WRITE, 7, /*cancelled=*/true);
    EXPECT_EQ(SentStatus(refused), STATUS_CANCELLED);
    EXPECT_EQ(Port->QueuedWriteChars, 15u);

    // The current write ends; the next queued one (the third) starts.
    FinishTransfer(Path::Write);
    EXPECT_EQ(first.Wait().status, STATUS_SUCCESS);
    emu::Settle();  // the third write's start runs after the first one's completion
    EXPECT_EQ(Port->CurrentWriteRequest, third.Irp());
    EXPECT_EQ(Port->QueuedWriteChars, 5u);
    FinishTransfer(Path::Write);
    EXPECT_EQ(third.Wait().status, STATUS_SUCCESS);

    // Already cancelled when it becomes current at once: its start routine refuses it.
    PIRP started = Send(IRP_MJ_WRITE, 9, /*cancelled=*/true);
    EXPECT_EQ(SentStatus(started), STATUS_CANCELLED);
    EXPECT_EQ(Port->QueuedWriteChars, 0u);
}

TEST_F(QueueTest, QueueSizeRequestNeverRunFreesItsParkedBuffer) {
    size_t base = emu::PoolOutstandingCount(QUELLA_POOL_TAG);
    Operation read = app_.ReadAsync(4);
    Operation resize = app_.DeviceIoControlAsync(IOCTL_SERIAL_SET_QUEUE_SIZE);
    EXPECT_EQ(resize.DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), base + 1);
    ASSERT_TRUE(resize.Cancel());
    EXPECT_EQ(resize.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), base);

    PIRP refused = Send(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_QUEUE_SIZE, /*cancelled=*/true);
    EXPECT_EQ(SentStatus(refused), STATUS_CANCELLED);
    EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), base);

    // One that waits its turn runs once the read ahead of it has ended.
    Operation later = app_.DeviceIoControlAsync(IOCTL_SERIAL_SET_QUEUE_SIZE);
    emu::Settle();
    EXPECT_FALSE(later.Done());
    FinishTransfer(Path::Read);
    EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(later.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(emu::PoolOutstandingCount(QUELLA_POOL_TAG), base);
}
