#include "Report.h"

#include <algorithm>

#include "Human.h"

namespace tzcli {

namespace {

using nlohmann::json;

const NoticeKind kKinds[] = {NoticeKind::kEntryPassedOver, NoticeKind::kChunkLeftOut,
                             NoticeKind::kVolumeSkipped, NoticeKind::kSizeUnknown,
                             NoticeKind::kOther};

bool KindFromKey(const std::string& key, NoticeKind& kind) {
  for (NoticeKind k : kKinds)
    if (key == KindKey(k)) {
      kind = k;
      return true;
    }
  return false;
}

std::string LogName(const DumpOutcome& outcome) {
  return outcome.log.empty() ? "standard error" : outcome.log;
}

}  // namespace

json ToJson(const DumpOutcome& o) {
  json notices = json::array();
  for (const Notice& n : o.notices)
    notices.push_back({{"kind", KindKey(n.kind)}, {"message", n.text}, {"count", n.count},
                       {"example", n.example}});
  json value = {{"ok", o.ok},
                {"mountPathId", o.mountPathId},
                {"copyId", o.copyId},
                {"kind", o.kind},
                {"dumpFile", o.dumpFile.empty() ? json(nullptr) : json(o.dumpFile)},
                {"rows", o.rowsKnown ? json(o.rows) : json(nullptr)},
                {"bytes", o.rowsKnown ? json(o.bytes) : json(nullptr)},
                {"chunkBytes", o.chunkBytesKnown ? json(o.chunkBytes) : json(nullptr)},
                {"seconds", o.seconds},
                {"log", o.log.empty() ? json(nullptr) : json(o.log)},
                {"notices", notices},
                {"failureLines", o.failureLines},
                {"failureLineCount", o.failureLineCount},
                {"hints", o.hints},
                {"record", o.record.empty() ? json(nullptr) : json(o.record)},
                {"interrupted", o.interrupted.empty() ? json(nullptr) : json(o.interrupted)}};
  return value;
}

std::string JsonText(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool FromJson(const json& value, DumpOutcome& o) {
  try {
    o.ok = value.at("ok").get<bool>();
    o.mountPathId = value.at("mountPathId").get<int32_t>();
    o.copyId = value.at("copyId").get<int32_t>();
    o.kind = value.at("kind").get<std::string>();
    o.dumpFile = value.at("dumpFile").is_null() ? "" : value.at("dumpFile").get<std::string>();
    o.rowsKnown = !value.at("rows").is_null();
    o.rows = o.rowsKnown ? value.at("rows").get<uint64_t>() : 0;
    o.bytes = o.rowsKnown ? value.at("bytes").get<uint64_t>() : 0;
    const json chunkBytes = value.value("chunkBytes", json());
    o.chunkBytesKnown = chunkBytes.is_number_unsigned();
    o.chunkBytes = o.chunkBytesKnown ? chunkBytes.get<uint64_t>() : 0;
    o.seconds = value.at("seconds").get<double>();
    o.log = value.at("log").is_null() ? "" : value.at("log").get<std::string>();
    o.notices.clear();
    for (const json& n : value.at("notices")) {
      Notice notice;
      if (!KindFromKey(n.at("kind").get<std::string>(), notice.kind)) return false;
      notice.text = n.at("message").get<std::string>();
      notice.count = n.at("count").get<uint64_t>();
      notice.example = n.at("example").get<std::string>();
      o.notices.push_back(std::move(notice));
    }
    o.failureLines = value.at("failureLines").get<std::vector<std::string>>();
    o.failureLineCount = value.at("failureLineCount").get<uint64_t>();
    o.hints = value.at("hints").get<std::vector<std::string>>();
    o.record = value.value("record", json()).is_string() ? value.at("record").get<std::string>() : "";
    o.interrupted =
        value.value("interrupted", json()).is_string() ? value.at("interrupted").get<std::string>() : "";
    return true;
  } catch (const json::exception&) {
    return false;
  }
}

uint64_t CountNotices(const DumpOutcome& outcome, bool failures) {
  uint64_t count = 0;
  for (const Notice& n : outcome.notices)
    if ((n.kind == NoticeKind::kOther) == failures) count += n.count;
  return count;
}

void PrintNotices(FILE* out, const DumpOutcome& o, const std::string& indent) {
  // Kinds in a fixed order, each form on its own line. On a successful dump
  // the lines of kind "other" are notices too: the dump went on past them.
  bool first = true;
  for (NoticeKind kind : kKinds) {
    if (kind == NoticeKind::kOther && !o.ok) continue;  // shown as failure lines
    for (const Notice& n : o.notices) {
      if (n.kind != kind) continue;
      if (first) fprintf(out, "%snotices (the lines are in %s):\n", indent.c_str(), LogName(o).c_str());
      first = false;
      fprintf(out, "%s  %llu %s: %s\n", indent.c_str(), static_cast<unsigned long long>(n.count),
              KindName(n.kind, n.count), n.text.c_str());
    }
  }
}

void PrintFailure(FILE* out, const DumpOutcome& o, const std::string& prefix) {
  if (o.interrupted.empty())
    fprintf(out, "%sthe dump failed after %.2f s\n", prefix.c_str(), o.seconds);
  else
    fprintf(out, "%sthe dump was interrupted by %s\n", prefix.c_str(), o.interrupted.c_str());
  if (o.failureLineCount > 0) {
    fprintf(out, "%sfailure lines of the log (%s)", prefix.c_str(), LogName(o).c_str());
    if (o.failureLineCount > o.failureLines.size())
      fprintf(out, ", the last %zu of %llu", o.failureLines.size(),
              static_cast<unsigned long long>(o.failureLineCount));
    fputs(":\n", out);
    for (const std::string& line : o.failureLines) fprintf(out, "  %s\n", line.c_str());
  } else {
    fprintf(out, "%sno failure line was logged\n", prefix.c_str());
  }
  PrintNotices(out, o, "");
  for (const std::string& hint : o.hints) fprintf(out, "hint: %s\n", hint.c_str());
  if (!o.dumpFile.empty())
    fprintf(out, "%sthe dump file %s may be incomplete\n", prefix.c_str(), o.dumpFile.c_str());
}

void PrintSummary(FILE* out, const DumpOutcome& o) {
  fprintf(out, "%s\n", o.dumpFile.c_str());
  if (o.rowsKnown && HumanSizes())
    fprintf(out, "%llu rows, %s, %.2f s (mount path %d, copy %d)%s\n",
            static_cast<unsigned long long>(o.rows), SizeText(o.bytes).c_str(), o.seconds,
            o.mountPathId, o.copyId,
            o.chunkBytesKnown ? ("; the chunks hold " + SizeText(o.chunkBytes)).c_str() : "");
  else if (o.rowsKnown)
    fprintf(out, "%llu rows, %llu bytes, %.2f s (mount path %d, copy %d)\n",
            static_cast<unsigned long long>(o.rows), static_cast<unsigned long long>(o.bytes),
            o.seconds, o.mountPathId, o.copyId);
  else
    fprintf(out, "rows unknown (the dump file cannot be read back), %.2f s\n", o.seconds);
  PrintNotices(out, o, "");
  for (const std::string& hint : o.hints) fprintf(out, "%s\n", hint.c_str());
}

void PrintTable(FILE* out, const std::vector<DumpOutcome>& outcomes) {
  fprintf(out, "%10s  %-5s  %-7s  %10s  %12s  %8s  %7s  %s\n", "mount path", "kind", "outcome",
          "rows", "bytes", "seconds", "notices", "dump file");
  for (const DumpOutcome& o : outcomes) {
    const std::string rows = o.ok && o.rowsKnown ? std::to_string(o.rows) : "-";
    const std::string bytes =
        !o.ok || !o.rowsKnown ? "-" : HumanSizes() ? BinarySize(o.bytes) : std::to_string(o.bytes);
    fprintf(out, "%10d  %-5s  %-7s  %10s  %12s  %8.2f  %7llu  %s\n", o.mountPathId,
            o.kind.empty() ? "-" : o.kind.c_str(),
            o.ok ? "done" : !o.interrupted.empty() ? o.interrupted.c_str() : "FAILED", rows.c_str(),
            bytes.c_str(), o.seconds,
            static_cast<unsigned long long>(CountNotices(o, false) + (o.ok ? CountNotices(o, true) : 0)),
            o.dumpFile.empty() ? "-" : o.dumpFile.c_str());
  }
}

}  // namespace tzcli
