#include "buffers/questions_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <pugixml.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "buffers/base64.h"
#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_temp_dir.h"
#include "kernel/orvan_frame.h"
#include "platform/posix_file_system.h"
#include "support/file_utils.h"

namespace vd {
namespace {

using Op = FaultFileSystem::Operation;

constexpr char kValidQuestionFile[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><FrameType>1200</FrameType>"
    "<DestinationInstallationNumber>7</DestinationInstallationNumber>"
    "<DestinationModuleGUID>{00112233-4455-6677-8899-AABBCCDDEEFF}</DestinationModuleGUID>"
    "<WaitOnlyForACK>False</WaitOnlyForACK><Direction>1</Direction>"
    "<QuestionBody>Ym9keQ==</QuestionBody></Data>";

class QuestionsBufferTest : public testing::Test {
 protected:
  std::unique_ptr<TQuestionsBuffer> MakeBuffer(bool flush = true) {
    return std::make_unique<TQuestionsBuffer>(
        fs_, clock_, log_,
        TQuestionsBuffer::Options{dir_.Path(), "VolterDirect Driver", "10.0.0.7", flush});
  }

  std::vector<std::string> Files(std::string_view mask) {
    std::vector<std::string> names;
    FindFiles(disk_, dir_.Path(), mask,
              [&](const std::string&, const std::string& name) { names.push_back(name); });
    std::sort(names.begin(), names.end());
    return names;
  }

  void PutFile(const std::string& name, const std::string& content) {
    disk_.WriteFile(dir_.Path() + name, content, false);
  }

  static TOrvanFrame Answer(const TGuid& guid, uint8_t direction) {
    TOrvanFrame frame;
    frame.FrameGUID = guid;
    frame.Direction = direction;
    return frame;
  }

  static TQuestionItem ItemOf(const TQuestionsBuffer& buffer, const TGuid& guid) {
    for (const TQuestionItem& item : buffer.Snapshot()) {
      if (item.FrameGUID == guid) return item;
    }
    ADD_FAILURE() << "no item " << guid.ToString();
    return {};
  }

  // The event document carried by the only ".que" file.
  std::string OnlyEventDocument() {
    const std::vector<std::string> names = Files("*.que");
    EXPECT_EQ(names.size(), 1u);
    if (names.size() != 1) return {};
    pugi::xml_document file;
    const std::string text = disk_.ReadFile(dir_.Path() + names[0], 1 << 20);
    EXPECT_TRUE(file.load_string(text.c_str()));
    return Base64Decode(file.child("Data").child_value("QuestionBody"));
  }

  ScopedTempDir dir_;
  PosixFileSystem disk_;
  FaultFileSystem fs_{disk_};
  FakeClock clock_;
  RecordingLogWriter log_;
};

TEST_F(QuestionsBufferTest, AcknowledgedEventLosesItemAndFile) {
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddSystemEvent("Port 1 opened.", "", false));
  ASSERT_EQ(Files("*.que").size(), 1u);

  TQuestion question;
  ASSERT_TRUE(buffer->TakeQuestion(question));
  EXPECT_EQ(question.FrameType, 9);
  EXPECT_EQ(question.Direction, 1);
  EXPECT_TRUE(question.DestinationModuleGUID.IsNull());
  EXPECT_EQ(question.DestinationInstallationNumber, 0);

  EXPECT_FALSE(buffer->HandleAnswer(Answer(NewGuid(), 2)));
  EXPECT_TRUE(buffer->HandleAnswer(Answer(question.FrameGUID, 2)));
  EXPECT_EQ(buffer->ItemCount(), 0u);
  EXPECT_TRUE(Files("*.que").empty());
  EXPECT_FALSE(buffer->TakeQuestion(question));
  EXPECT_TRUE(question.QuestionBody.empty());
}

TEST_F(QuestionsBufferTest, QuestionExpectingAnAnswerWaitsForItOrTimesOut) {
  auto buffer = MakeBuffer();
  const TGuid module = NewGuid();
  ASSERT_TRUE(buffer->AddQuestion(1200, "first", false, module, 42));
  ASSERT_TRUE(buffer->AddQuestion(1200, "second", false));
  EXPECT_TRUE(Files("*").empty());  // questions are memory-only

  TQuestion first;
  ASSERT_TRUE(buffer->TakeQuestion(first));
  EXPECT_EQ(first.QuestionBody, "first");
  EXPECT_EQ(first.DestinationModuleGUID, module);
  EXPECT_EQ(first.DestinationInstallationNumber, 42);
  ASSERT_TRUE(buffer->HandleAnswer(Answer(first.FrameGUID, 2)));
  // Acknowledged: no longer sent, still known until the final answer.
  TQuestion second;
  ASSERT_TRUE(buffer->TakeQuestion(second));
  EXPECT_EQ(second.QuestionBody, "second");
  ASSERT_TRUE(buffer->HandleAnswer(Answer(second.FrameGUID, 2)));
  EXPECT_EQ(buffer->ItemCount(), 2u);
  EXPECT_EQ(buffer->ReadyCount(), 0u);

  EXPECT_TRUE(buffer->HandleAnswer(Answer(first.FrameGUID, 6)));
  EXPECT_EQ(buffer->ItemCount(), 1u);

  clock_.AdvanceSeconds(60);
  buffer->CheckTimeouts();
  EXPECT_EQ(buffer->ItemCount(), 1u);  // the deadline is not yet passed
  clock_.AdvanceSeconds(1);
  buffer->CheckTimeouts();
  EXPECT_EQ(buffer->ItemCount(), 0u);
}

TEST_F(QuestionsBufferTest, RefusalOfAnItemNeverTakenChangesNothing) {
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddQuestion(1200, "q", true));
  const TGuid guid = buffer->Snapshot().at(0).FrameGUID;
  EXPECT_TRUE(buffer->HandleAnswer(Answer(guid, 3)));
  EXPECT_EQ(buffer->ItemCount(), 1u);
  EXPECT_EQ(buffer->ReadyCount(), 1u);
}

TEST_F(QuestionsBufferTest, RefusedEventReturnsAfterThirtySecondsCountingFromZero) {
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddSystemEvent("refused", "", true));
  TQuestion question;
  ASSERT_TRUE(buffer->TakeQuestion(question));
  ASSERT_TRUE(buffer->TakeQuestion(question));
  EXPECT_EQ(ItemOf(*buffer, question.FrameGUID).SendCount, 2);

  ASSERT_TRUE(buffer->HandleAnswer(Answer(question.FrameGUID, 3)));
  EXPECT_EQ(buffer->WaitingCount(), 1u);
  clock_.AdvanceSeconds(29);
  EXPECT_FALSE(buffer->TakeQuestion(question));
  clock_.AdvanceSeconds(1);
  ASSERT_TRUE(buffer->TakeQuestion(question));
  EXPECT_EQ(ItemOf(*buffer, question.FrameGUID).SendCount, 1);
  EXPECT_EQ(Files("*.que").size(), 1u);
}

TEST_F(QuestionsBufferTest, ParkingAndCancellingKeepEventsButDropQuestions) {
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddSystemEvent("event", "", true));
  ASSERT_TRUE(buffer->AddQuestion(1200, "question", true));
  TQuestion event;
  ASSERT_TRUE(buffer->TakeQuestion(event));
  ASSERT_TRUE(buffer->HandleAnswer(Answer(event.FrameGUID, 9)));
  TQuestion question;
  ASSERT_TRUE(buffer->TakeQuestion(question));
  EXPECT_EQ(question.QuestionBody, "question");
  buffer->CancelQuestion(question.FrameGUID);
  EXPECT_EQ(buffer->ItemCount(), 1u);

  clock_.AdvanceSeconds(59);
  EXPECT_FALSE(buffer->TakeQuestion(question));
  clock_.AdvanceSeconds(1);
  ASSERT_TRUE(buffer->TakeQuestion(question));
  EXPECT_EQ(question.FrameGUID, event.FrameGUID);
  buffer->CancelQuestion(event.FrameGUID);
  buffer->CancelQuestion(event.FrameGUID);  // twice: still parked only once
  EXPECT_EQ(buffer->WaitingCount(), 1u);
  clock_.AdvanceSeconds(5);
  ASSERT_TRUE(buffer->TakeQuestion(question));
  EXPECT_EQ(buffer->ReadyCount(), 1u);
}

TEST_F(QuestionsBufferTest, UntakenQuestionExpiresAfterSixtySecondsEventNever) {
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddQuestion(1200, "q", true));
  ASSERT_TRUE(buffer->AddSystemEvent("e", "", true));
  clock_.AdvanceSeconds(60);
  buffer->CheckTimeouts();
  EXPECT_EQ(buffer->ItemCount(), 2u);
  clock_.AdvanceSeconds(1);
  buffer->CheckTimeouts();
  ASSERT_EQ(buffer->ItemCount(), 1u);
  EXPECT_EQ(buffer->Snapshot()[0].FrameType, 9);
  clock_.AdvanceSeconds(3600);
  buffer->CheckTimeouts();
  EXPECT_EQ(buffer->ItemCount(), 1u);
}

TEST_F(QuestionsBufferTest, EventDocumentAndFileHaveTheirExactForm) {
  clock_.SetUtcSeconds(1700000000);
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddSystemEvent("Event buffer size exceeded.", "", true));
  const std::string document =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><SystemEvent><SourceTime>1700000000"
      "</SourceTime><ModuleName>VolterDirect Driver</ModuleName><ModuleIp>10.0.0.7</ModuleIp>"
      "<Owner>System</Owner><EventType>Error</EventType><Text>Event buffer size exceeded."
      "</Text><Details Encoding=\"0\"/></SystemEvent></Data>";
  TQuestion question;
  ASSERT_TRUE(buffer->TakeQuestion(question));
  EXPECT_EQ(question.QuestionBody, document);

  const std::vector<std::string> names = Files("*.que");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].size(), 12u);
  EXPECT_EQ(disk_.ReadFile(dir_.Path() + names[0], 1 << 20),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><FrameType>9</FrameType>"
            "<DestinationInstallationNumber>0</DestinationInstallationNumber>"
            "<DestinationModuleGUID>{00000000-0000-0000-0000-000000000000}"
            "</DestinationModuleGUID><WaitOnlyForACK>True</WaitOnlyForACK><Direction>1"
            "</Direction><QuestionBody>" +
                Base64Encode(document) + "</QuestionBody></Data>");
}

TEST_F(QuestionsBufferTest, EventTextsSurviveEscapingInUtf8) {
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddSystemEvent("a & b <c>", "Błąd odczytu sygnału z dysku!", false));
  const std::string document = OnlyEventDocument();
  EXPECT_NE(document.find("<Text>a &amp; b &lt;c&gt;</Text>"), std::string::npos);
  EXPECT_NE(document.find("<EventType>Info</EventType>"), std::string::npos);
  EXPECT_NE(document.find("Błąd odczytu sygnału z dysku!"), std::string::npos);

  pugi::xml_document parsed;
  ASSERT_TRUE(parsed.load_string(document.c_str()));
  const pugi::xml_node event = parsed.child("Data").child("SystemEvent");
  EXPECT_STREQ(event.child_value("Text"), "a & b <c>");
  EXPECT_STREQ(event.child_value("Details"), "Błąd odczytu sygnału z dysku!");
}

TEST_F(QuestionsBufferTest, ControlCharactersCannotBreakTheEventDocument) {
  auto buffer = std::make_unique<TQuestionsBuffer>(
      fs_, clock_, log_, TQuestionsBuffer::Options{dir_.Path(), "Drv\x01", "", true});
  ASSERT_TRUE(buffer->AddSystemEvent("frame", std::string("\x02x\0\x1B", 4), true));
  const std::string document = OnlyEventDocument();
  pugi::xml_document parsed;
  ASSERT_TRUE(parsed.load_string(document.c_str())) << document;
  const pugi::xml_node event = parsed.child("Data").child("SystemEvent");
  EXPECT_STREQ(event.child_value("ModuleName"), "Drv[01]");
  EXPECT_STREQ(event.child_value("Details"), "[02]x[00][1B]");
  EXPECT_NE(document.find("<ModuleIp/>"), std::string::npos);
}

TEST_F(QuestionsBufferTest, EventsSurviveARestartWithTheirSourceTime) {
  {
    auto buffer = MakeBuffer();
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(buffer->AddSystemEvent("event " + std::to_string(i), "", true));
      clock_.AdvanceSeconds(1);
    }
  }
  clock_.AdvanceSeconds(1000);
  auto buffer = MakeBuffer();
  EXPECT_EQ(buffer->ItemCount(), 20u);
  std::vector<bool> seen(20, false);
  TQuestion question;
  for (int n = 0; n < 20 && buffer->TakeQuestion(question); ++n) {
    pugi::xml_document parsed;
    ASSERT_TRUE(parsed.load_string(question.QuestionBody.c_str()));
    const pugi::xml_node event = parsed.child("Data").child("SystemEvent");
    const int i = std::stoi(std::string(event.child_value("Text")).substr(6));
    ASSERT_TRUE(i >= 0 && i < 20 && !seen[i]);
    seen[i] = true;
    EXPECT_EQ(std::stoll(event.child_value("SourceTime")), FakeClock::kDefaultUtcMs / 1000 + i);
    ASSERT_TRUE(buffer->HandleAnswer(Answer(question.FrameGUID, 2)));
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 20);
  EXPECT_TRUE(Files("*").empty());
  // Loading read the files; it wrote nothing back.
  EXPECT_EQ(fs_.Calls(Op::kWriteFile), 20);
}

TEST_F(QuestionsBufferTest, LoadSetsAsideUnreadableFilesAndReportsThem) {
  std::string without_direction = kValidQuestionFile;
  without_direction.replace(without_direction.find("<Direction>"),
                            std::string("<Direction>1</Direction>").size(), "");
  PutFile("00000001.que", kValidQuestionFile);
  PutFile("00000002.que", without_direction);
  PutFile("notes.txt", "not mine");

  auto buffer = MakeBuffer();
  const std::vector<TQuestionItem> items = buffer->Snapshot();
  ASSERT_EQ(items.size(), 2u);
  const auto loaded = std::find_if(items.begin(), items.end(),
                                   [](const auto& item) { return item.FrameType == 1200; });
  ASSERT_NE(loaded, items.end());
  EXPECT_EQ(loaded->QuestionBody, "body");
  EXPECT_EQ(loaded->DestinationInstallationNumber, 7u);
  EXPECT_EQ(loaded->DestinationModuleGUID.ToString(), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  EXPECT_FALSE(loaded->WaitOnlyForACK);
  EXPECT_EQ(loaded->FileName, dir_.Path() + "00000001.que");

  EXPECT_EQ(Files("*.error"), std::vector<std::string>{"00000002.que.error"});
  const auto event = std::find_if(items.begin(), items.end(),
                                  [](const auto& item) { return item.FrameType == 9; });
  ASSERT_NE(event, items.end());
  EXPECT_FALSE(event->FileName.empty());
  EXPECT_NE(event->QuestionBody.find("<Text>Error while reading data from disk.</Text>"
                                     "<Details Encoding=\"0\">EXMLDocError - XML node with name "
                                     "\"Direction\" does not exist!</Details>"),
            std::string::npos)
      << event->QuestionBody;
  EXPECT_EQ(Files("*.que").size(), 2u);  // the loaded file and the event's
}

TEST_F(QuestionsBufferTest, CorruptFilesAreSetAsideOneByOne) {
  const std::string valid = kValidQuestionFile;
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = valid;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::vector<std::string> corrupt = {
      "",
      "<Data><FrameType>1</FrameType>",
      replaced("Ym9keQ==", "Ym9keQ"),
      replaced("Ym9keQ==", "not base64!"),
      replaced("{00112233-4455-6677-8899-AABBCCDDEEFF}", "{0011}"),
      replaced("<FrameType>1200", "<FrameType>70000"),
      replaced("<DestinationInstallationNumber>7", "<DestinationInstallationNumber>-1"),
      replaced("<Direction>1", "<Direction>256"),
      replaced("False", "maybe"),
  };
  for (size_t i = 0; i < corrupt.size(); ++i) PutFile(std::to_string(i) + ".que", corrupt[i]);
  PutFile("ok.QUE", valid);

  auto buffer = MakeBuffer();
  EXPECT_EQ(Files("*.error").size(), corrupt.size());
  size_t events = 0;
  size_t loaded = 0;
  for (const TQuestionItem& item : buffer->Snapshot()) {
    (item.FrameType == 9 ? events : loaded) += 1;
  }
  EXPECT_EQ(events, corrupt.size());
  EXPECT_EQ(loaded, 1u);
}

TEST_F(QuestionsBufferTest, RandomlyDamagedFilesNeverCrashTheLoad) {
  std::mt19937 random(99);
  for (int round = 0; round < 150; ++round) {
    ScopedTempDir dir;
    std::string text = kValidQuestionFile;
    for (int n = 1 + static_cast<int>(random() % 4); n > 0; --n) {
      const size_t pos = random() % text.size();
      switch (random() % 3) {
        case 0:
          text[pos] = static_cast<char>(random() & 0xFF);
          break;
        case 1:
          text.erase(pos, 1 + random() % 8);
          break;
        default:
          text.insert(pos, 1, "<>&=\"/{}\0"[random() % 9]);
          break;
      }
    }
    disk_.WriteFile(dir.Path() + "damaged.que", text, false);
    TQuestionsBuffer buffer(fs_, clock_, log_, {dir.Path(), "d", "", false});
    const std::vector<TQuestionItem> items = buffer.Snapshot();
    ASSERT_EQ(items.size(), 1u);  // the loaded item, or the event about it
    const bool set_aside = disk_.Stat(dir.Path() + "damaged.que.error").exists;
    EXPECT_EQ(set_aside, items[0].FileName != dir.Path() + "damaged.que");
  }
}

TEST_F(QuestionsBufferTest, FailedWriteQueuesNothingLogsNothingLeavesNothing) {
  auto buffer = MakeBuffer();
  for (auto fail : {&FaultFileSystem::fail_write, &FaultFileSystem::no_space,
                    &FaultFileSystem::fail_flush, &FaultFileSystem::fail_rename}) {
    (fs_.*fail) = true;
    EXPECT_FALSE(buffer->AddSystemEvent("lost", "", true));
    (fs_.*fail) = false;
    EXPECT_EQ(buffer->ItemCount(), 0u);
    EXPECT_TRUE(Files("*").empty());
  }
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_TRUE(buffer->AddSystemEvent("kept", "", true));
  EXPECT_EQ(buffer->ItemCount(), 1u);
}

TEST_F(QuestionsBufferTest, ReportedEventSurvivesAPowerCut) {
  {
    auto buffer = MakeBuffer();
    ASSERT_TRUE(buffer->AddSystemEvent("survivor", "", true));
  }
  fs_.SimulatePowerCut();
  auto buffer = MakeBuffer();
  TQuestion question;
  ASSERT_TRUE(buffer->TakeQuestion(question));
  EXPECT_NE(question.QuestionBody.find("<Text>survivor</Text>"), std::string::npos);
  EXPECT_TRUE(Files("*.error").empty());
}

TEST_F(QuestionsBufferTest, WithoutFlushingNothingIsSynced) {
  auto buffer = MakeBuffer(false);
  ASSERT_TRUE(buffer->AddSystemEvent("quick", "", true));
  EXPECT_EQ(fs_.Calls(Op::kSyncDirectory), 0);
  EXPECT_EQ(Files("*.que").size(), 1u);
}

TEST_F(QuestionsBufferTest, StartRemovesUnfinishedWritesOfQuestionFiles) {
  const std::string leftover = TemporaryFileName(dir_.Path() + "0A0B0C0D.que");
  disk_.WriteFile(leftover, "<?xml version=\"1.0\"?><Da", false);
  PutFile("other.sig.keep", "not mine");
  auto buffer = MakeBuffer();
  EXPECT_FALSE(disk_.Stat(leftover).exists);
  EXPECT_TRUE(disk_.Stat(dir_.Path() + "other.sig.keep").exists);
  EXPECT_EQ(buffer->ItemCount(), 0u);
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{"Removed unfinished cache file: " + leftover});
}

TEST_F(QuestionsBufferTest, ErrorInsideAnAnswerRaisesAnEventOnTheSameThread) {
  auto buffer = MakeBuffer();
  ASSERT_TRUE(buffer->AddSystemEvent("first", "", true));
  TQuestion question;
  ASSERT_TRUE(buffer->TakeQuestion(question));
  fs_.FailNext(Op::kDeleteFile);
  EXPECT_TRUE(buffer->HandleAnswer(Answer(question.FrameGUID, 2)));
  // The acknowledged event left memory; the failure became a new event and
  // the old file stays to be sent once more after a restart.
  const std::vector<TQuestionItem> items = buffer->Snapshot();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_NE(items[0].QuestionBody.find("Error while adding answer to buffer."), std::string::npos);
  EXPECT_EQ(Files("*.que").size(), 2u);
}

TEST_F(QuestionsBufferTest, MissingCacheDirectoryIsCreated) {
  const std::string nested = dir_.Path() + "a/b/cache";
  TQuestionsBuffer buffer(fs_, clock_, log_, {nested, "d", "", true});
  EXPECT_TRUE(disk_.Stat(nested + "/").is_directory);
  EXPECT_TRUE(buffer.AddSystemEvent("x", "", true));
}

TEST_F(QuestionsBufferTest, ConcurrentEventsAndSendingLoseNothing) {
  auto buffer = MakeBuffer(false);
  constexpr int kThreads = 4;
  constexpr int kEventsPerThread = 25;
  std::atomic<int> added{0};
  std::vector<std::thread> producers;
  producers.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kEventsPerThread; ++i) {
        clock_.Advance(1);  // new file-name prefixes, as the real tick count gives
        if (buffer->AddSystemEvent("thread " + std::to_string(t), std::to_string(i), true)) {
          ++added;
        }
      }
    });
  }
  int acknowledged = 0;
  TQuestion question;
  for (int pass = 0; pass < 100000 && acknowledged < kThreads * kEventsPerThread; ++pass) {
    if (buffer->TakeQuestion(question) && buffer->HandleAnswer(Answer(question.FrameGUID, 2))) {
      ++acknowledged;
    } else {
      std::this_thread::yield();
    }
  }
  for (std::thread& producer : producers) producer.join();
  EXPECT_EQ(added.load(), kThreads * kEventsPerThread);
  EXPECT_EQ(acknowledged, kThreads * kEventsPerThread);
  EXPECT_EQ(buffer->ItemCount(), 0u);
  EXPECT_TRUE(Files("*.que").empty());
}

}  // namespace
}  // namespace vd
