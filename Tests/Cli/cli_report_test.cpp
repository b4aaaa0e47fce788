// What tzrecon makes of the host log while a dump runs (LogWatch), and the
// JSON summary that --all-mount-paths reads back from its workers.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "LogWatch.h"
#include "Messages.h"
#include "Report.h"
#include "TestSupport.h"

namespace {

using tzcli::NoticeKind;

TEST(CliLogWatch, CountsChunksAndVolumesAsTheWalkLogsThem) {
  tztest::LogCapture capture(1);  // level 2 is filtered from the log, not from the watch
  tzcli::LogWatch watch;
  EvDebug log;
  log.DebugLvl("TzLibVolReconsiliation::GetChunkListerDump", 2, "Mount Path :: %s", "/srv/mp");
  struct Step {
    const char* path;
    uint64_t chunks, volumes;  // the counts right after this chunk
  };
  const Step steps[] = {
      {"/srv/mp/V_1/CHUNK_1", 1, 1},
      {"/srv/mp/V_1/CHUNK_2", 2, 1},
      {"/srv/mp/V_12/CHUNK_3/CHUNK_META_DATA_12", 3, 2},  // a single-instanced chunk folder
      {"/srv/mp/V_12/CHUNK_4/CHUNK_META_DATA_16", 4, 2},
      {"/srv/mp/V_1/CHUNK_5", 5, 3},  // a volume listed again counts again
      {"/elsewhere/V_9/CHUNK_6", 6, 3},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.path);
    log.DebugLvl("ChunkListHelper::OnChunk", 2, "Dumping Chunk Info [%s]", step.path);
    EXPECT_EQ(watch.Chunks(), step.chunks);
    EXPECT_EQ(watch.Volumes(), step.volumes);
  }
  // Another dump's mount path ("/srv/mp2" begins like "/srv/mp").
  log.DebugLvl("TzLibVolReconsiliation::GetChunkListerDump", 2, "Mount Path :: %s", "/srv/mp2/");
  log.DebugLvl("ChunkListHelper::OnChunk", 2, "Dumping Chunk Info [%s]", "/srv/mp/V_7/CHUNK_1");
  log.DebugLvl("ChunkListHelper::OnChunk", 2, "Dumping Chunk Info [%s]", "/srv/mp2/V_7/CHUNK_1");
  EXPECT_EQ(watch.Chunks(), 8u);
  EXPECT_EQ(watch.Volumes(), 4u);
  EXPECT_TRUE(watch.Notices().empty());
}

TEST(CliLogWatch, GroupsFailureLinesByKindAndForm) {
  tztest::LogCapture capture(1);
  tzcli::LogWatch watch;
  {
    EvDebug log;
    for (const char* name : {"MEDIA_LABEL", "CHUNKMAP_TRAILER_1", "CHUNKMAP_TRAILER_2"})
      log.DebugLvl("CloudChunkListHelper::EnumerateChunkFolders", -1,
                   "This is not a chunk [%s], skipping", name);
    log.DebugLvl("ChunkListHelper::GetVolumeAndChunkIdFromCMT", -1,
                 "Chunk Id in chunk map trailer [%d] and in chunk file name [%d] do not match", 8, 9);
    // One message form, two meanings: the tag tells them apart.
    log.DebugLvl("ChunkListHelper::GetVolumeAndChunkIdFromCMT", -1,
                 "Error :: Failed to open volume label file [%s]", "/mp/V_1/CHUNKMAP_TRAILER_4");
    log.DebugLvl("ChunkListHelper::VerifyVolume", -1,
                 "Error :: Failed to open volume label file [%s]", "/mp/V_2/MEDIA_LABEL");
    log.DebugLvl("ChunkListHelper::GetFileSize", -1,
                 "Failed to get the file size, Ignoring, error=%s", "gone");
    log.DebugLvl("ChunkListHelper::OnChunk", 2, "not a failure %d", 1);
    for (int i = 0; i < 25; ++i)
      log.DebugLvl("ChunkListHelper::EnumerateVolumes", -1, "Failed to get directory entry %d\n", i);
  }
  struct Expected {
    NoticeKind kind;
    std::string text, example;
    uint64_t count;
  };
  const std::vector<Expected> expected = {
      {NoticeKind::kEntryPassedOver, "This is not a chunk [...], skipping",
       "CloudChunkListHelper::EnumerateChunkFolders This is not a chunk [MEDIA_LABEL], skipping", 3},
      {NoticeKind::kChunkLeftOut,
       "Chunk Id in chunk map trailer [...] and in chunk file name [...] do not match",
       "ChunkListHelper::GetVolumeAndChunkIdFromCMT Chunk Id in chunk map trailer [8] and in chunk "
       "file name [9] do not match",
       1},
      {NoticeKind::kChunkLeftOut, "Error :: Failed to open volume label file [...]",
       "ChunkListHelper::GetVolumeAndChunkIdFromCMT Error :: Failed to open volume label file "
       "[/mp/V_1/CHUNKMAP_TRAILER_4]",
       1},
      {NoticeKind::kVolumeSkipped, "Error :: Failed to open volume label file [...]",
       "ChunkListHelper::VerifyVolume Error :: Failed to open volume label file "
       "[/mp/V_2/MEDIA_LABEL]",
       1},
      {NoticeKind::kSizeUnknown, "Failed to get the file size, Ignoring, error=...",
       "ChunkListHelper::GetFileSize Failed to get the file size, Ignoring, error=gone", 1},
      {NoticeKind::kOther, "Failed to get directory entry ...\n",
       "ChunkListHelper::EnumerateVolumes Failed to get directory entry 0\\n", 25},
  };
  ASSERT_EQ(watch.Notices().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].text);
    const tzcli::Notice& n = watch.Notices()[i];
    EXPECT_EQ(n.kind, expected[i].kind);
    EXPECT_EQ(n.text, expected[i].text);
    EXPECT_EQ(n.example, expected[i].example);
    EXPECT_EQ(n.count, expected[i].count);
  }
  // The lines of kind "other" are kept, the last ones only, escaped.
  EXPECT_EQ(watch.OtherLineCount(), 25u);
  ASSERT_EQ(watch.OtherLines().size(), tzcli::LogWatch::kKeptLines);
  EXPECT_EQ(watch.OtherLines().back(),
            "ChunkListHelper::EnumerateVolumes Failed to get directory entry 24\\n");
  EXPECT_EQ(watch.OtherLines().front(),
            "ChunkListHelper::EnumerateVolumes Failed to get directory entry 5\\n");
  // The log itself got every level -1 line, and no level 2 line.
  EXPECT_EQ(capture.Lines().size(), 32u);
}

// The watch knows the library's notices by the catalogue's own texts (the
// same arrays, so by address), every one of them and nothing besides: a
// text copied into the watch by hand, or a notice added to the catalogue
// and not to the watch, fails here.
TEST(CliLogWatch, ClassifiesExactlyTheCataloguesNotices) {
  const std::vector<const char*> forms = tzcli::ClassifiedForms();
  const std::set<const void*> classified(forms.begin(), forms.end());
  const auto& notices = tzrecon::messages::kCompleteDumpNotices;
  const std::set<const void*> catalogue(std::begin(notices), std::end(notices));
  EXPECT_EQ(forms.size(), std::size(notices));
  EXPECT_EQ(classified, catalogue);
}

// Each of the catalogue's notices, logged as the walk logs it, is counted
// as a kind of its own, not as a failure; the line that only names the
// trailer of the line before is not counted again.
TEST(CliLogWatch, CountsEachCatalogueNoticeAsItsKind) {
  namespace messages = tzrecon::messages;
  tztest::LogCapture capture(1);
  tzcli::LogWatch watch;
  {
    EvDebug log;
    for (const char* notice : messages::kCompleteDumpNotices) {
      if (std::strstr(notice, "%d") != nullptr)
        log.DebugLvl(messages::kVerifyVolumeTag, -1, notice, 1, 2);
      else
        log.DebugLvl(messages::kVerifyVolumeTag, -1, notice, "x", "y");
    }
    // The one form whose meaning the tag gives, under its other tag.
    log.DebugLvl(messages::kTrailerTag, -1, messages::kCannotOpenLabel, "t");
  }
  size_t counted = 0;
  for (const tzcli::Notice& n : watch.Notices()) {
    SCOPED_TRACE(n.text);
    EXPECT_NE(n.kind, NoticeKind::kOther);
    EXPECT_EQ(n.count, 1u);
    counted += n.count;
  }
  // All the notices but the trailer's naming line, and the label line under
  // the trailer's tag.
  EXPECT_EQ(counted, std::size(messages::kCompleteDumpNotices) - 1 + 1);
  EXPECT_EQ(watch.OtherLineCount(), 0u);
}

TEST(CliLogWatch, FormOfAMessageShowsEachValueAsDots) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "plain"},
      {"[%s] and [%d]", "[...] and [...]"},
      {"%lld%% done", "...% done"},
      {"x %-5.2f y %*d", "x ... y ..."},
      {"cut %", "cut ..."},
  };
  for (const auto& [format, form] : cases) EXPECT_EQ(tzcli::FormOfMessage(format), form) << format;
}

TEST(CliReport, JsonSummaryReadsBackAndRejectsOtherShapes) {
  tzcli::DumpOutcome o;
  o.ok = true;
  o.mountPathId = -3;
  o.copyId = 7;
  o.kind = "cloud";
  o.dumpFile = "/d/ChunkLister_7_-3_1.csv";
  o.rowsKnown = true;
  o.rows = 5000000000ULL;  // beyond 32 bits
  o.bytes = 123456789012ULL;
  o.seconds = 1.25;
  o.log = "/d/tzrecon.log";
  o.notices = {{NoticeKind::kEntryPassedOver, "This is not a chunk [...], skipping",
                "X This is not a chunk [\"q\"], skipping", 10000},
               {NoticeKind::kOther, "odd", "Y odd", 1}};
  o.failureLines = {"Y odd"};
  o.failureLineCount = 1;
  o.hints = {"hint: \u00e9"};
  tzcli::DumpOutcome back;
  ASSERT_TRUE(tzcli::FromJson(nlohmann::json::parse(tzcli::ToJson(o).dump()), back));
  EXPECT_EQ(tzcli::ToJson(back), tzcli::ToJson(o));
  EXPECT_EQ(back.rows, o.rows);
  EXPECT_EQ(back.notices.at(0).kind, NoticeKind::kEntryPassedOver);

  // A failed dump before any file: no file, no rows.
  tzcli::DumpOutcome failed;
  failed.mountPathId = 9;
  const nlohmann::json value = tzcli::ToJson(failed);
  EXPECT_TRUE(value.at("dumpFile").is_null() && value.at("rows").is_null());
  ASSERT_TRUE(tzcli::FromJson(value, back));
  EXPECT_FALSE(back.ok || back.rowsKnown);
  EXPECT_EQ(back.dumpFile, "");

  for (const char* text : {"{}", "[]", "{\"ok\": true}"}) {
    EXPECT_FALSE(tzcli::FromJson(nlohmann::json::parse(text), back)) << text;
  }
  // A chunk name in Latin-1 quoted by a notice does not break the output.
  o.notices[0].example = "X This is not a chunk [caf\xe9], skipping";
  const nlohmann::json latin = nlohmann::json::parse(tzcli::JsonText(tzcli::ToJson(o)));
  EXPECT_EQ(latin.at("notices").at(0).at("example"), "X This is not a chunk [caf\ufffd], skipping");

  nlohmann::json wrongKind = tzcli::ToJson(o);
  wrongKind["notices"][0]["kind"] = "bogus";
  EXPECT_FALSE(tzcli::FromJson(wrongKind, back));
  nlohmann::json wrongType = tzcli::ToJson(o);
  wrongType["rows"] = "many";
  EXPECT_FALSE(tzcli::FromJson(wrongType, back));
}

}  // namespace
