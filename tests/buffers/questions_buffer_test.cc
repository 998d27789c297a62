#include "buffers/questions_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>
#include <tuple>

#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_temp_dir.h"
#include "kernel/orvan_frame.h"
#include "platform/host_file_system.h"
#include "support/file_utils.h"

namespace vd {
namespace {

TOrvanFrame Answer(const TGuid& guid, uint8_t direction) {
  TOrvanFrame frame;
  frame.FrameGUID = guid;
  frame.Direction = direction;
  return frame;
}

class QuestionsBufferTest : public testing::Test {
 protected:
  std::unique_ptr<TQuestionsBuffer> MakeBuffer(bool flush_writes = true) {
    return std::make_unique<TQuestionsBuffer>(
        fs_, clock_, log_,
        TQuestionsBuffer::Options{dir_.Path(), "VolterDirect Driver", "10.0.0.7", flush_writes});
  }

  std::vector<std::string> Files(std::string_view mask) {
    std::vector<std::string> names;
    FindFiles(disk_, dir_.Path(), mask,
              [&](const std::string&, const std::string& name) { names.push_back(name); });
    return names;
  }

  // Takes the first ready item and answers it; the item's guid.
  TGuid TakeAndAnswer(TQuestionsBuffer& buffer, uint8_t direction) {
    TQuestion question;
    EXPECT_TRUE(buffer.TakeQuestion(question));
    EXPECT_TRUE(buffer.HandleAnswer(Answer(question.FrameGUID, direction)));
    return question.FrameGUID;
  }

  ScopedTempDir dir_;
  HostFileSystem disk_;
  FaultFileSystem fs_{disk_};
  FakeClock clock_;
  RecordingLogWriter log_;
};

TEST_F(QuestionsBufferTest, QuestionExpectingAnAnswerWaitsForItOrTimesOut) {
  auto buffer = MakeBuffer();
  const TGuid module = NewGuid();
  ASSERT_TRUE(buffer->AddQuestion(1200, "first", false, module, 42));
  ASSERT_TRUE(buffer->AddQuestion(1200, "second", false));
  EXPECT_TRUE(Files("*").empty());  // questions are memory-only
  TQuestion first;
  ASSERT_TRUE(buffer->TakeQuestion(first));
  EXPECT_EQ(std::tie(first.QuestionBody, first.DestinationModuleGUID,
                     first.DestinationInstallationNumber),
            std::make_tuple("first", module, 42));
  TakeAndAnswer(*buffer, 2);  // acknowledged: no longer sent, kept for the answer
  TakeAndAnswer(*buffer, 2);
  EXPECT_EQ(buffer->ReadyCount(), 0u);
  EXPECT_TRUE(buffer->HandleAnswer(Answer(first.FrameGUID, 6)));
  EXPECT_EQ(buffer->ItemCount(), 1u);
  for (const int64_t seconds : {60, 1}) {  // the other one's answer deadline passes
    clock_.AdvanceSeconds(seconds);
    buffer->CheckTimeouts();
    EXPECT_EQ(buffer->ItemCount(), seconds == 60 ? 1u : 0u);
  }
}

TEST_F(QuestionsBufferTest, RefusedEventReturnsAfterThirtySecondsAndLeavesWithItsFileOnAck) {
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddSystemEvent("refused", "", true));
  ASSERT_TRUE(buffer->AddQuestion(1200, "question", true));
  // A refusal of an item not taken since it was made ready is stale.
  for (const TQuestionItem& item : buffer->Snapshot())
    EXPECT_TRUE(buffer->HandleAnswer(Answer(item.FrameGUID, 3)));
  EXPECT_EQ(buffer->ReadyCount(), 2u);
  TQuestion event;
  ASSERT_TRUE(buffer->TakeQuestion(event));
  EXPECT_EQ(TakeAndAnswer(*buffer, 3), event.FrameGUID);
  EXPECT_EQ(buffer->Snapshot()[0].SendCount, 2);
  TakeAndAnswer(*buffer, 6);  // the question
  clock_.AdvanceSeconds(29);
  EXPECT_FALSE(buffer->TakeQuestion(event));
  clock_.AdvanceSeconds(1);
  ASSERT_TRUE(buffer->TakeQuestion(event));
  EXPECT_EQ(buffer->Snapshot()[0].SendCount, 1);
  EXPECT_EQ(Files("*.que").size(), 1u);
  EXPECT_FALSE(buffer->HandleAnswer(Answer(NewGuid(), 2)));
  EXPECT_TRUE(buffer->HandleAnswer(Answer(event.FrameGUID, 2)));
  EXPECT_EQ(buffer->ItemCount(), 0u);
  EXPECT_TRUE(Files("*").empty());
}

TEST_F(QuestionsBufferTest, CancelAndDirectionNineParkEventsButDropQuestions) {
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddSystemEvent("event", "", true));
  ASSERT_TRUE(buffer->AddQuestion(1200, "question", true));
  TQuestion event;
  ASSERT_TRUE(buffer->TakeQuestion(event));
  buffer->CancelQuestion(event.FrameGUID);  // parked for 5 seconds
  TakeAndAnswer(*buffer, 9);                // the question is dropped
  EXPECT_EQ(buffer->ItemCount(), 1u);
  clock_.AdvanceSeconds(5);
  ASSERT_TRUE(buffer->TakeQuestion(event));
  TakeAndAnswer(*buffer, 9);  // parked for 60 seconds
  clock_.AdvanceSeconds(59);
  EXPECT_FALSE(buffer->TakeQuestion(event));
  clock_.AdvanceSeconds(1);
  EXPECT_TRUE(buffer->TakeQuestion(event));
}

TEST_F(QuestionsBufferTest, UntakenQuestionExpiresAfterSixtySecondsEventNever) {
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddQuestion(1200, "q", true));
  ASSERT_TRUE(buffer->AddSystemEvent("e", "", true));
  for (const int64_t seconds : {60, 1, 3600}) {
    clock_.AdvanceSeconds(seconds);
    buffer->CheckTimeouts();
    EXPECT_EQ(buffer->ItemCount(), seconds == 60 ? 2u : 1u);
  }
  EXPECT_EQ(buffer->Snapshot()[0].FrameType, 9);
}

TEST_F(QuestionsBufferTest, EventDocumentHasItsExactFormAndSurvivesAPowerCut) {
  clock_.SetUtcSeconds(1700000000);
  ASSERT_TRUE(MakeBuffer()->AddSystemEvent("a & b <c>", "Błąd odczytu sygnału z dysku!", false));
  clock_.AdvanceSeconds(1000);
  fs_.SimulatePowerCut();
  EXPECT_EQ(MakeBuffer()->Snapshot().at(0).QuestionBody,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><SystemEvent><SourceTime>1700000000"
            "</SourceTime><ModuleName>VolterDirect Driver</ModuleName><ModuleIp>10.0.0.7</ModuleIp>"
            "<Owner>System</Owner><EventType>Info</EventType><Text>a &amp; b &lt;c&gt;</Text>"
            "<Details Encoding=\"0\">Błąd odczytu sygnału z dysku!</Details></SystemEvent></Data>");
}

// The Kernel away: twenty events wait as files; after a restart each is sent
// once, with the moment it was raised.
TEST_F(QuestionsBufferTest, EventsRaisedWhileTheKernelIsAwayAreSentOnceAfterARestart) {
  clock_.SetUtcSeconds(1700000000);
  std::map<std::string, std::string> expected, sent;  // text: SourceTime of each sending
  {
    auto buffer = MakeBuffer();
    for (int i = 0; i < 20; ++i, clock_.AdvanceSeconds(7)) {
      ASSERT_TRUE(buffer->AddSystemEvent("e" + std::to_string(i), "", true));
      expected["e" + std::to_string(i)] = std::to_string(clock_.UtcNowMs() / 1000) + " ";
    }
  }
  clock_.AdvanceSeconds(3600);
  auto buffer = MakeBuffer();
  TQuestion event;
  for (int n = 0; n < 40 && buffer->TakeQuestion(event); ++n) {
    const std::string& body = event.QuestionBody;
    const auto element = [&](const std::string& name) {
      const size_t open = body.find("<" + name + ">") + name.size() + 2;
      return body.substr(open, body.find("</" + name + ">") - open);
    };
    sent[element("Text")] += element("SourceTime") + " ";
    EXPECT_TRUE(buffer->HandleAnswer(Answer(event.FrameGUID, 2)));
  }
  EXPECT_EQ(sent, expected);
  EXPECT_TRUE(Files("*").empty());
}

TEST_F(QuestionsBufferTest, StartRemovesUnfinishedWritesLoadsGoodFilesAndSetsAsideUnreadableOnes) {
  const std::string leftover = TemporaryFileName(dir_.Path() + "0A0B0C0D.que");
  disk_.WriteFile(leftover, "<?xml version=\"1.0\"?><Da", false);
  const std::string good =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><FrameType>1200</FrameType>"
      "<DestinationInstallationNumber>7</DestinationInstallationNumber>"
      "<DestinationModuleGUID>{00112233-4455-6677-8899-AABBCCDDEEFF}</DestinationModuleGUID>"
      "<WaitOnlyForACK>False</WaitOnlyForACK><Direction>1</Direction>"
      "<QuestionBody>Ym9keQ==</QuestionBody></Data>";
  disk_.WriteFile(dir_.Path() + "00000001.que", good, false);
  disk_.WriteFile(dir_.Path() + "00000002.que",
                  std::string(good).erase(good.find("<Direction>1</Direction>"), 24), false);
  disk_.CreateDirectories(dir_.Path() + "00000003.que/");
  std::vector<TQuestionItem> items = MakeBuffer()->Snapshot();
  const std::vector<std::string> lines = log_.Lines();
  ASSERT_EQ(lines.size(), 3u);  // and one naming each file set aside
  EXPECT_EQ(lines[0], "Removed unfinished cache file: " + leftover);
  EXPECT_EQ(lines[2].rfind("Unreadable question file set aside as " + dir_.Path() + "0000000", 0),
            0u);
  ASSERT_EQ(items.size(), 3u);
  std::sort(items.begin(), items.end(), [](const TQuestionItem& a, const TQuestionItem& b) {
    return a.FrameType != 9 && b.FrameType == 9;
  });
  EXPECT_EQ(std::make_tuple(items[0].QuestionBody, items[0].DestinationModuleGUID.ToString(),
                            items[0].FileName),
            std::make_tuple("body", "{00112233-4455-6677-8899-AABBCCDDEEFF}",
                            dir_.Path() + "00000001.que"));
  std::vector<std::string> set_aside = Files("*.error");
  std::sort(set_aside.begin(), set_aside.end());
  EXPECT_EQ(set_aside, (std::vector<std::string>{"00000002.que.error", "00000003.que.error"}));
  std::string events = items[1].QuestionBody + items[2].QuestionBody;
  EXPECT_NE(events.find("<Text>Error while reading data from disk.</Text>"
                        "<Details Encoding=\"0\">EXMLDocError - XML node with name "
                        "\"Direction\" does not exist!</Details>"),
            std::string::npos);
  EXPECT_NE(events.find("00000003.que: Is a directory"), std::string::npos);  // not silent
  EXPECT_EQ(Files("*.que").size(), 3u);  // the loaded file and the two events'
  EXPECT_FALSE(disk_.Stat(leftover).exists);
}

// Deliberately unlike the plain rule, which drops an event whose file cannot
// be written: on a full or failing disk the event leaves no file but is still
// sent from memory (within a bound), since that failure is exactly what
// operators must hear of.
TEST_F(QuestionsBufferTest, UnstorableEventIsDeliberatelyKeptInMemoryAndSentWithinABound) {
  auto buffer = MakeBuffer();
  for (auto fail : {&FaultFileSystem::fail_write, &FaultFileSystem::no_space,
                    &FaultFileSystem::fail_flush, &FaultFileSystem::fail_rename}) {
    (fs_.*fail) = true;
    EXPECT_FALSE(buffer->AddSystemEvent("unstored", "", true));
    (fs_.*fail) = false;
    EXPECT_EQ(buffer->ItemCount(), 1u);
    EXPECT_TRUE(Files("*").empty());
    TQuestion question;
    ASSERT_TRUE(buffer->TakeQuestion(question));
    EXPECT_NE(question.QuestionBody.find("<Text>unstored</Text>"), std::string::npos);
    EXPECT_TRUE(buffer->HandleAnswer(Answer(question.FrameGUID, 2)));
    EXPECT_EQ(buffer->ItemCount(), 0u);
  }
  fs_.FailNext(FaultFileSystem::Operation::kSyncDirectory);  // after the rename
  EXPECT_FALSE(buffer->AddSystemEvent("unstored", "", true));
  EXPECT_TRUE(Files("*").empty());
  fs_.no_space = true;
  for (int i = 0; i < 40; ++i) EXPECT_FALSE(buffer->AddSystemEvent("unstored", "", true));
  EXPECT_EQ(buffer->ItemCount(), TQuestionsBuffer::kMaxUnstoredEvents);
  fs_.no_space = false;
  EXPECT_TRUE(buffer->AddSystemEvent("stored", "", true));  // normal service again
  EXPECT_EQ(Files("*.que").size(), 1u);
  EXPECT_TRUE(log_.Lines().empty());
  const TQuestionsBufferStats stats = buffer->Stats();
  EXPECT_EQ(std::vector<uint64_t>({stats.Events, stats.EventsRaised, stats.EventsUnstored,
                                   stats.EventsDropped, stats.CacheWriteFailures}),
            std::vector<uint64_t>({17, 21, 20, 25, 45}));
}

// A Kernel away for long must not fill the disk with events: at the bound new
// events are dropped, also those loaded at start count, and an answered one
// makes room again.
TEST_F(QuestionsBufferTest, WaitingEventsStopAtTheirBoundUntilOneIsAnswered) {
  TQuestionsBuffer::Options options{dir_.Path(), "VolterDirect Driver", "10.0.0.7", false};
  options.MaxWaitingEvents = 3;
  auto buffer = std::make_unique<TQuestionsBuffer>(fs_, clock_, log_, options);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(buffer->AddSystemEvent("e", "", true), i < 3) << i;
  EXPECT_TRUE(buffer->AddQuestion(1200, "question", true));  // questions are not bounded here
  buffer = std::make_unique<TQuestionsBuffer>(fs_, clock_, log_, options);
  EXPECT_FALSE(buffer->AddSystemEvent("after the restart", "", true));
  TakeAndAnswer(*buffer, 2);
  EXPECT_TRUE(buffer->AddSystemEvent("room again", "", true));
  EXPECT_EQ(Files("*.que").size(), 3u);
  EXPECT_EQ(buffer->Stats().EventsDropped, 1u);
}

TEST_F(QuestionsBufferTest, QueuedQuestionsAndEventsWakeTheLinkOnceTheyAreReady) {
  std::vector<size_t> ready_at_wake;
  std::unique_ptr<TQuestionsBuffer> buffer;
  buffer = std::make_unique<TQuestionsBuffer>(
      fs_, clock_, log_, TQuestionsBuffer::Options{dir_.Path(), "D", "10.0.0.7", true, [&] {
                                                     ready_at_wake.push_back(buffer->ReadyCount());
                                                   }});
  ASSERT_TRUE(buffer->AddQuestion(1200, "q", true));
  ASSERT_TRUE(buffer->AddSystemEvent("e", "", true));
  fs_.fail_write = true;
  EXPECT_FALSE(buffer->AddSystemEvent("unstored", "", true));  // queued from memory
  TQuestion question;
  ASSERT_TRUE(buffer->TakeQuestion(question));
  EXPECT_TRUE(buffer->HandleAnswer(Answer(question.FrameGUID, 2)));  // answers add no work
  EXPECT_EQ(ready_at_wake, (std::vector<size_t>{1, 2, 3}));
}

TEST_F(QuestionsBufferTest, ConcurrentEventsAndSendingLoseNothing) {
  auto buffer = MakeBuffer(false);
  std::vector<std::thread> producers;
  for (int t = 0; t < 3; ++t) {
    producers.emplace_back([&] {
      for (int i = 0; i < 20; ++i) EXPECT_TRUE(buffer->AddSystemEvent("e", "", true));
    });
  }
  int acknowledged = 0;
  TQuestion question;
  for (int pass = 0; pass < 1000000 && acknowledged < 60; ++pass) {
    if (buffer->TakeQuestion(question)) {
      acknowledged += buffer->HandleAnswer(Answer(question.FrameGUID, 2)) ? 1 : 0;
    }
    std::this_thread::yield();
  }
  for (std::thread& producer : producers) producer.join();
  EXPECT_EQ(acknowledged, 60);
  EXPECT_TRUE(Files("*.que").empty());
}

}  // namespace
}  // namespace vd
