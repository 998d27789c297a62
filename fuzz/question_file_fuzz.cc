// ".que" files come from disk and are untrusted: the question buffer must
// load any content or set it aside as ".error", never crash.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "buffers/questions_buffer.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "support/log_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vd::PosixFileSystem fs;
  static vd::SystemClock clock;
  static vd::NullLogWriter log;
  // A scratch directory of its own, removed again when the fuzzer exits.
  static const struct ScratchDir {
    ScratchDir() {
      char pattern[] = "/tmp/vd_question_fuzz_XXXXXX";
      if (mkdtemp(pattern) == nullptr) std::abort();
      path = std::string(pattern) + "/";
    }
    ~ScratchDir() {
      for (const std::string& name : fs.ListDirectory(path)) fs.DeleteFile(path + name);
      rmdir(path.c_str());
    }
    std::string path;
  } scratch;
  const std::string& dir = scratch.path;

  for (const std::string& name : fs.ListDirectory(dir)) fs.DeleteFile(dir + name);
  fs.WriteFile(dir + "00000000.que", std::string_view(reinterpret_cast<const char*>(data), size),
               false);
  vd::TQuestionsBuffer buffer(fs, clock, log, {dir, "Fuzz", "127.0.0.1", false});
  vd::TQuestion question;
  while (buffer.TakeQuestion(question)) buffer.CancelQuestion(question.FrameGUID);
  return 0;
}
