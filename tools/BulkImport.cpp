#include "tools/BulkImport.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "content/Charsets.h"
#include "db/ConnectionManager.h"
#include "db/DBTable.h"
#include "db/Rows.h"
#include "entry/AddMailCall.h"
#include "entry/LoggedCall.h"
#include "foundation/ResultCodes.h"
#include "imap/ImapMailStorage.h"
#include "tools/MailSource.h"
#include "tools/MailText.h"
#include "tools/System.h"

namespace Nauvik::Import {
namespace {

// One mail of a batch, read and waiting for its transaction.
struct Loaded {
  size_t index = 0;
  std::unique_ptr<MailBytes> mail;
  std::string message_id;  // the importer's reading, for the report
  std::string date;
};

class BulkRun {
 public:
  BulkRun(const ImportOptions& o, const std::vector<ImportItem>& items, Journal* journal,
          ReportWriter* report, ImapSource* imap)
      : o_(o), items_(items), journal_(journal), report_(report), imap_(imap) {}

  // Takes the given items (all of some folders, in list order).
  void Work(const std::vector<size_t>& mine);

  Summary summary;
  std::vector<size_t> imported;  // guarded by mu_ while the workers run

 private:
  void Flush(std::vector<Loaded>* batch, IMAP::ImapMailStorage* store);
  int32_t PerMail(const Loaded& l, IMAP::ImapMailStorage* store, bool* duplicate, uint32_t* uid);
  void Finish(const Loaded& l, int32_t code, bool duplicate, uint32_t uid = 0);
  void FinishUnloaded(size_t index, const std::string& error);

  const ImportOptions& o_;
  const std::vector<ImportItem>& items_;
  Journal* journal_;
  ReportWriter* report_;
  ImapSource* imap_;
  std::mutex mu_;        // summary
  std::mutex per_mail_;  // one per-mail call at a time: it may create folders
};

void BulkRun::Work(const std::vector<size_t>& mine) {
  IMAP::ImapMailStorage store;
  store.SetUseViews(!o_.tables);
  const uint64_t max_bytes = static_cast<uint64_t>(o_.batch_mb) << 20;
  std::vector<Loaded> batch;
  uint64_t batch_bytes = 0;
  size_t next = 0;
  for (; next < mine.size(); ++next) {
    if (InterruptRequested()) break;
    const ImportItem& item = items_[mine[next]];
    Loaded l;
    l.index = mine[next];
    l.mail = std::make_unique<MailBytes>();
    std::string error;
    if (!LoadMail(item, o_.keep_line_ends, imap_, l.mail.get(), &error)) {
      FinishUnloaded(l.index, error);
      continue;
    }
    l.message_id = HeaderField(l.mail->bytes, "Message-ID").value_or("");
    l.date = item.date;
    if (o_.date == DateSource::kHeader) {
      if (auto header = HeaderField(l.mail->bytes, "Date")) l.date = *header;
    }
    batch_bytes += l.mail->bytes.size();
    batch.push_back(std::move(l));
    if (batch.size() >= static_cast<size_t>(o_.batch_mails) || batch_bytes >= max_bytes) {
      Flush(&batch, &store);
      batch_bytes = 0;
    }
  }
  Flush(&batch, &store);
  store.CloseDatabase();
  std::lock_guard<std::mutex> lock(mu_);
  if (next < mine.size()) {
    summary.interrupted = true;
    summary.left += mine.size() - next;
  }
}

void BulkRun::Flush(std::vector<Loaded>* batch, IMAP::ImapMailStorage* store) {
  if (batch->empty()) return;
  const int64_t user = std::stoll(o_.user);
  const int64_t company = std::stoll(o_.company);
  std::vector<IMAP::BatchMail> mails(batch->size());
  for (size_t i = 0; i < batch->size(); ++i) {
    const Loaded& l = (*batch)[i];
    const ImportItem& item = items_[l.index];
    if (journal_) journal_->Begin(item, l.mail->bytes.size(), l.mail->hash);
    mails[i].bytes = l.mail->bytes.data();
    mails[i].length = static_cast<uint32_t>(l.mail->bytes.size());
    mails[i].folder = IMAP::ConvertUtf8FolderNameToUtf16(item.folder);
    mails[i].flags = CallFlags(item.seen, item.draft);
    mails[i].internal_date = CallDate(l.date);
  }
  size_t pos = 0;
  while (pos < mails.size()) {
    size_t taken = 0;
    const int32_t code = RunLoggedCall(CallLogDirectory(), IMAP::kImapUnknownError, [&] {
      BeginCallLogging();
      const int32_t c = store->StoreBatch(&mails[pos], mails.size() - pos, user, company, &taken);
      if (c != IMAP::kImapOk) return c;
      // The lines the call logs for each mail it adds.
      for (size_t i = pos; i < pos + taken; ++i) {
        const Loaded& l = (*batch)[i];
        LogAddingFile(l.mail->path, items_[l.index].folder, o_.user);
        LogFileAdded();
      }
      return c;
    });
    if (code == IMAP::kImapOk && taken > 0) {
      for (size_t i = pos; i < pos + taken; ++i) {
        Finish((*batch)[i], 0, !mails[i].stored_new, mails[i].link.uid);
      }
      pos += taken;
    } else if (code == IMAP::kImapOk) {
      // A mail the batch leaves to the per-mail way (a new folder's first).
      bool duplicate = false;
      uint32_t uid = 0;
      const int32_t single = PerMail((*batch)[pos], store, &duplicate, &uid);
      Finish((*batch)[pos], single, duplicate, uid);
      ++pos;
    } else {
      // Nothing of the batch is stored: the rest goes one mail at a time, so
      // each mail gets the code and lines the call gives it.
      for (; pos < mails.size(); ++pos) {
        bool duplicate = false;
        uint32_t uid = 0;
        const int32_t single = PerMail((*batch)[pos], store, &duplicate, &uid);
        Finish((*batch)[pos], single, duplicate, uid);
      }
    }
  }
  batch->clear();
}

int32_t BulkRun::PerMail(const Loaded& l, IMAP::ImapMailStorage* store, bool* duplicate,
                         uint32_t* uid) {
  const ImportItem& item = items_[l.index];
  std::lock_guard<std::mutex> lock(per_mail_);
  *duplicate = false;
  if (!l.message_id.empty()) {
    try {
      IMAP::MessageReference found;
      *duplicate = store->FindMessage(l.message_id, static_cast<uint32_t>(l.mail->bytes.size()),
                                      &found) == IMAP::kImapOk;
    } catch (const std::exception&) {
      CloseThreadDatabases();  // the call below reports the database's state
    }
  }
  *uid = 0;
  const int32_t code =
      AddMailCall(l.mail->path.c_str(), item.folder.c_str(), o_.user.c_str(), o_.company.c_str(),
                  l.date.c_str(), item.seen, item.draft, !o_.tables);
  if (code != IMAP::kImapOk) return code;
  // This thread alone writes into the folder, and every writer of the store
  // holds the folder while it links: its newest link is the one just made.
  try {
    IMAP::ImapFolder folder;
    if (store->GetImapFolder(IMAP::ConvertUtf8FolderNameToUtf16(item.folder), std::stoll(o_.user),
                             std::stoll(o_.company), &folder) == IMAP::kImapOk) {
      DBTable<NV_IMAPMSGINFOLDER> link;
      if (o_.tables) link.SetTableName("NS_IMAPMSGINFOLDER", true);
      const std::string id = std::to_string(folder.folder_id);
      if (link.Select("IMF_IMAPFOLDERID = " + id + " AND MIF_UID = (SELECT MAX(MIF_UID) FROM " +
                          link.GetTableName() + " WHERE IMF_IMAPFOLDERID = " + id + ")",
                      "") &&
          link.Fetch()) {
        *uid = static_cast<uint32_t>(link.MIF_UID);
      }
    }
  } catch (const std::exception&) {
    CloseThreadDatabases();  // the report leaves the UID out; the mail is stored
  }
  return code;
}

void BulkRun::Finish(const Loaded& l, int32_t code, bool duplicate, uint32_t uid) {
  const ImportItem& item = items_[l.index];
  const uint64_t size = l.mail->bytes.size();
  if (journal_) journal_->Done(item, code, size, l.mail->hash);
  if (report_) {
    report_->Row(ReportName(item), item.offset, item.folder, std::to_string(code),
                 duplicate && code == 0 ? "OK (linked again: stored already)"
                                        : IMAP::ErrorText(code),
                 size, l.message_id, uid);
  }
  std::lock_guard<std::mutex> lock(mu_);
  FolderCounts& counts = summary.folders[item.folder];
  summary.bytes += size;
  if (code == IMAP::kImapOk) {
    imported.push_back(l.index);
    (duplicate ? summary.duplicates : summary.imported)++;
    (duplicate ? counts.linked : counts.stored)++;
    for (char c : item.other_flags) summary.lost_flags[c]++;
  } else {
    summary.failed[code]++;
    counts.failed++;
  }
}

void BulkRun::FinishUnloaded(size_t index, const std::string& error) {
  const ImportItem& item = items_[index];
  if (report_) {
    report_->Row(ReportName(item), item.offset, item.folder,
                 std::to_string(IMAP::kImapFileNotFound), error, 0, "");
  }
  std::lock_guard<std::mutex> lock(mu_);
  summary.failed[IMAP::kImapFileNotFound]++;
  summary.folders[item.folder].failed++;
}

}  // namespace

Summary RunBulkImport(const ImportOptions& options, const std::vector<ImportItem>& items,
                      Journal* journal, ReportWriter* report, ImapSource* imap,
                      std::vector<size_t>* imported) {
  const auto start = std::chrono::steady_clock::now();
  BulkRun run(options, items, journal, report, imap);
  const size_t threads = static_cast<size_t>(std::max(1, options.threads));
  std::vector<std::vector<size_t>> shares(threads);
  std::map<std::string, size_t> folder_share;  // whole folders to one thread, in turn
  for (size_t i = 0; i < items.size(); ++i) {
    const ImportItem& item = items[i];
    run.summary.folders[item.folder].source++;
    const auto entry = journal ? journal->Find(item) : std::nullopt;
    if (entry && Journal::IsComplete(*entry)) {
      run.summary.journal_done++;
      run.summary.folders[item.folder].earlier++;
      continue;
    }
    if (!item.skip_reason.empty()) {
      run.summary.skipped[item.skip_reason]++;
      run.summary.folders[item.folder].skipped++;
      if (journal) journal->Skip(item);
      if (report) {
        report->Row(ReportName(item), item.offset, item.folder, "",
                    "skipped: " + item.skip_reason, item.length, "");
      }
      continue;
    }
    if (entry && Journal::Unsettled(*entry)) run.summary.in_doubt++;
    const std::string key = StoreFolderKey(item.folder);
    auto share = folder_share.find(key);
    if (share == folder_share.end()) {
      share = folder_share.emplace(key, folder_share.size() % threads).first;
    }
    shares[share->second].push_back(i);
  }
  run.summary.items = items.size();
  std::vector<std::thread> workers;
  for (size_t t = 1; t < threads; ++t) {
    if (!shares[t].empty()) workers.emplace_back([&run, &shares, t] { run.Work(shares[t]); });
  }
  run.Work(shares[0]);
  for (std::thread& w : workers) w.join();
  StopParkedLoggers();
  *imported = std::move(run.imported);
  run.summary.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run.summary;
}

}  // namespace Nauvik::Import
