#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "foundation/Channel.h"
#include "foundation/SimpleThread.h"
#include "log/Log.h"
#include "log/LogChannel.h"

namespace Nauvik {

class LiveLogServer;

// The log broker: a thread that takes messages out of a log channel (the
// process-wide one of Log(), or any other given at construction) and writes
// each as a line. The base class writes lines to the standard error stream;
// a derived logger overrides WriteLine to call WriteToFile with its time
// stamp format and file name pattern. Opened with a live log port other than
// 0, the broker also serves every line it writes to TCP clients.
//
// Lifetime: Open starts the thread; the destructor requests a stop, lets the
// thread drain up to 1,000 queued messages and waits for it without limit.
// A derived class that overrides WriteLine (or any other hook) must call
// Stop(-1) in its own destructor: once that destructor has run, the drain
// would reach the base hooks instead of its own.
//
// The broker is the only thread that writes its files; it opens and closes
// the file for every line, so other processes may read or move the file
// between lines. File errors never stop the thread: the line is lost and the
// error text goes to the standard output. Open, the level channel and the
// SimpleThread controls are thread-safe; the hooks run on the broker thread.
class LogBroker : public KAVRO::SimpleThread {
 public:
  // Reads from `channel`; the broker shares the channel's holder, so the
  // channel object itself need not outlive the broker.
  LogBroker(const std::string& name, const KAVRO::ChannelAccess<ChLog::CHLogMessage>& channel);
  ~LogBroker() override;

  // Remembers the live log port (0: no live log) and the directory ("\" is
  // appended unless it ends in "\" or "/"), then starts the thread through
  // the start implementation, not the overridable Start. True when the
  // thread runs. On a running broker it changes nothing and returns true;
  // after a stop it may be opened again, with new settings.
  virtual bool Open(const std::string& directory, uint16_t live_log_port);

  // Puts of a level here change which messages the running broker forwards:
  // a message passes when its level is at most the broker level (-1, the
  // start value, passes everything). Each change is logged as
  // "Log Level Changed: <level>".
  KAVRO::Channel<int>& LevelChannel() { return level_channel_; }

  // Pads the level prefix of file lines to 9 characters. Set before Open.
  void SetAlignment(bool on) { align_ = on; }

  // Parking keeps the thread between sessions instead of ending it. Set
  // before Open. Park() ends a session exactly as a stop would (the loop
  // ends, up to 1,000 queued messages are written) and returns once that is
  // done; the thread then waits, reading nothing, until Resume() starts the
  // next session or a stop ends it. Park and Resume belong to the broker's
  // owner, one call at a time; Stop works in either state.
  void SetParking(bool on) { parking_ = on; }
  // False when the thread ended instead of parking (it was stopped).
  bool Park();
  // True when the parked thread has taken up the channel again; false when
  // there is no thread to resume.
  bool Resume();

  const std::string& LogDirectory() const { return log_directory_; }
  uint16_t LiveLogPort() const { return live_log_port_; }

 protected:
  // The broker loop: live log start, guards, OnLoopStart, messages until the
  // stop request, then the drain and the live log stop.
  void Run() override;

  // Called once on the broker thread before the loop; does nothing here.
  virtual void OnLoopStart();
  // Called for a fired guard index below 1000 the broker does not know.
  virtual void OnUnknownGuard(int index);
  // Writes one message. Here: "LOG-<level>:   <text>" to standard error.
  virtual void WriteLine(int32_t level, const std::string& text);
  // Writes text as it is to standard error.
  virtual void WriteRaw(const std::string& text);
  // Sends the text, trimmed of CR and LF, as one CR LF line to every live
  // log client; a client whose send buffer stays full for 100 ms misses it.
  virtual void SendToLiveClients(const std::string& text);
  // Appends "<stamp><LEVEL>: <text>\r\n" to the file log directory +
  // pattern, both formatted from the current UTC time, creating missing
  // directories. Does nothing when the directory is empty. Throws
  // std::runtime_error("Cannot open for writing file: <path>") when the file
  // cannot be opened even after creating its directory.
  virtual void WriteToFile(int32_t level, const std::string& stamp_format,
                           const std::string& pattern, const std::string& text);

  // The broker's guards; derived classes may add their own (indexes other
  // than 0-5 and below 1000) in OnLoopStart and handle them in
  // OnUnknownGuard. Broker thread only.
  KAVRO::Alternative& Guards() { return alternative_; }

  // The level messages are filtered by. Broker thread only.
  int32_t BrokerLevel() const { return broker_level_; }

 private:
  // One session: messages until a stop or park request, then the drain.
  void RunSession(ChLog::CHLogMessage* message, int* new_level);
  // Forwards one message (loop or drain); catches and reports any error.
  void HandleMessage(const ChLog::CHLogMessage& message);
  void ReportException(const std::string& what);

  KAVRO::Channel<int> level_channel_;
  KAVRO::ChannelReader<ChLog::CHLogMessage> reader_;
  KAVRO::Alternative alternative_;
  uint16_t live_log_port_ = 0;
  std::string log_directory_;  // ends in a separator when not empty
  std::string name_;
  bool align_ = false;
  int32_t broker_level_ = -1;
  bool parking_ = false;
  KAVRO::Condition park_request_;  // set by Park, cleared by the thread as it parks
  KAVRO::Condition parked_;        // set by the thread once parked, cleared by Resume
  KAVRO::Event resume_;
  std::unique_ptr<LiveLogServer> live_log_;  // broker thread only, while Run runs
};

}  // namespace Nauvik
