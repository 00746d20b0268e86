#include "log/LogBroker.h"

#include <cstdio>
#include <exception>
#include <stdexcept>

#include "foundation/Files.h"
#include "foundation/NTime.h"
#include "log/LiveLog.h"

namespace Nauvik {

namespace {

// Guard indexes of the broker loop. Live log clients use their id (1000 up).
constexpr int kGuardStop = 0;
constexpr int kGuardMessage = 1;
constexpr int kGuardPark = 2;
constexpr int kGuardLevel = 5;

// Messages written after the stop request, so that a stop does not lose what
// was logged just before it.
constexpr int kDrainLimit = 1000;

constexpr size_t kAlignedPrefixWidth = 9;

void WriteStdout(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void WriteStderr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Appends one line in pieces of at most kAppendPieceBytes to the file opened
// for appending, so each piece is one write at the end of the file even when
// another broker appends to the same file. A file made here is readable by
// its owner only (the lines name mail files, folders and Message-IDs).
bool AppendLine(const std::string& path, const std::string& line) {
  KAVRO::UniqueFd file = KAVRO::OpenForAppend(path);
  if (!file.Valid()) return false;
  const bool written = KAVRO::AppendToFile(file.Get(), line.size(), line.data());
  if (!file.Close() || !written) throw std::runtime_error("Cannot write to file: " + path);
  return true;
}

void AppendOrThrow(const std::string& path, const std::string& line) {
  if (AppendLine(path, line)) return;
  // The directory may have been removed since it was checked.
  KAVRO::CreateDirectoryPath(KAVRO::DirectoryOf(path, false));
  if (AppendLine(path, line)) return;
  throw std::runtime_error("Cannot open for writing file: " + path);
}

}  // namespace

LogBroker::LogBroker(const std::string& name,
                     const KAVRO::ChannelAccess<ChLog::CHLogMessage>& channel)
    : name_(name) {
  if (channel.IsBound()) reader_.Bind(channel);
  SetName(name);
}

LogBroker::~LogBroker() { Stop(-1); }

bool LogBroker::Open(const std::string& directory, uint16_t live_log_port) {
  // The running thread reads both settings: they change only between runs.
  if (IsRunning()) return true;
  live_log_port_ = live_log_port;
  log_directory_ = directory;
  KAVRO::EnsureTrailingSeparator(&log_directory_);
  // A thread that was parked before a stop left these behind.
  park_request_.UnSignal();
  parked_.UnSignal();
  return StartImpl();
}

void LogBroker::Run() {
  // Without a port there is nothing to serve; the server parts (threads,
  // channels, the socket library) are only built for a live log, which keeps
  // the start of the per-call logger cheap.
  if (live_log_port_ != 0) {
    live_log_ = std::make_unique<LiveLogServer>(&alternative_);
    const std::string error = live_log_->Start(live_log_port_);
    if (!error.empty()) {
      live_log_.reset();
      try {
        WriteLine(kLogError, "Failed to start livelog: " + error);
      } catch (const std::exception& e) {
        ReportException(e.what());
      }
    }
  }

  ChLog::CHLogMessage message;
  int new_level = 0;
  KAVRO::ChannelReader<int> level_reader(level_channel_);
  alternative_.AddWaitable(kGuardStop, &StopRequest());
  if (reader_.IsBound()) alternative_.AddGet(kGuardMessage, reader_, &message);
  if (parking_) alternative_.AddWaitable(kGuardPark, &park_request_);
  if (live_log_) live_log_->AddGuards();
  alternative_.AddGet(kGuardLevel, level_reader, &new_level);

  OnLoopStart();
  for (;;) {
    RunSession(&message, &new_level);
    if (!parking_ || StopRequest().IsSignalled()) break;
    // Parked: the channel stays unread, as it would with no broker at all,
    // until the owner resumes the broker or stops it.
    park_request_.UnSignal();
    parked_.Signal();
    KAVRO::MultiWait wake;
    wake.Add(&StopRequest());
    wake.Add(&resume_);
    if (wake.WaitIndex(-1) == 0) break;
  }
  if (live_log_) {
    live_log_->Stop();
    live_log_.reset();
  }
  alternative_.Clear();
}

void LogBroker::RunSession(ChLog::CHLogMessage* message, int* new_level) {
  for (;;) {
    const int index = alternative_.Select(-1);
    if (index == kGuardStop || index == kGuardPark) break;
    try {
      if (index == kGuardMessage) {
        HandleMessage(*message);
      } else if (index == kGuardLevel) {
        broker_level_ = *new_level;
        WriteLine(kLogInfo, "Log Level Changed: " + std::to_string(broker_level_));
      } else if (live_log_ && live_log_->Handles(index)) {
        live_log_->Handle(index);
      } else {
        OnUnknownGuard(index);
      }
    } catch (const std::exception& e) {
      ReportException(e.what());
    }
  }
  if (reader_.IsBound()) {
    for (int i = 0; i < kDrainLimit && reader_.Get(message, 0); ++i) HandleMessage(*message);
  }
}

bool LogBroker::Park() {
  if (!IsRunning()) return false;
  park_request_.Signal();
  KAVRO::MultiWait done;
  done.Add(&parked_);
  done.Add(this);  // the thread's end, should a stop overtake the park
  return done.WaitIndex(-1) == 0;
}

bool LogBroker::Resume() {
  if (!IsRunning()) return false;
  parked_.UnSignal();
  resume_.Signal();
  return true;
}

void LogBroker::HandleMessage(const ChLog::CHLogMessage& message) {
  if (broker_level_ >= 0 && message.level > broker_level_) return;
  try {
    SendToLiveClients(message.text);
    WriteLine(message.level, message.text);
  } catch (const std::exception& e) {
    ReportException(e.what());
  }
}

void LogBroker::ReportException(const std::string& what) {
  WriteStdout("Exception in " + name_ + " logger: " + what + "\r\n");
}

void LogBroker::OnLoopStart() {}

void LogBroker::OnUnknownGuard(int) {}

void LogBroker::WriteLine(int32_t level, const std::string& text) {
  WriteStderr("LOG-" + std::to_string(level) + ":   " + text + "\n");
}

void LogBroker::WriteRaw(const std::string& text) { WriteStderr(text); }

void LogBroker::SendToLiveClients(const std::string& text) {
  if (live_log_) live_log_->Send(text);
}

void LogBroker::WriteToFile(int32_t level, const std::string& stamp_format,
                            const std::string& pattern, const std::string& text) {
  if (log_directory_.empty()) return;
  std::string prefix = LogLevelName(level) + ": ";
  if (align_ && prefix.size() < kAlignedPrefixWidth) prefix.resize(kAlignedPrefixWidth, ' ');

  KAVRO::NTime now;
  now.SetNow(true);
  const std::string line = now.Format(stamp_format) + prefix + text + "\r\n";
  // The name comes from the same UTC time as the stamp, so the file changes
  // at midnight UTC with the first line of the new day.
  const std::string path = log_directory_ + now.Format(pattern);

  if (KAVRO::FileExists(path)) {
    AppendOrThrow(path, line);
    return;
  }
  // Missing levels are made for the owner only.
  const std::string directory = KAVRO::DirectoryOf(path, true);
  KAVRO::CreateDirectoryPath(directory);
  // A directory that exists but refuses new files drops the line quietly; one
  // that could not be created is tried anyway, so its error is reported.
  if (KAVRO::IsDirectory(directory) && !KAVRO::IsDirectoryWritable(directory)) return;
  AppendOrThrow(path, line);
}

}  // namespace Nauvik
