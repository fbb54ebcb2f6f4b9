// Zip archives in the input pipeline: a member named through the settings
// gives exactly its text, whatever its method, size or place in the archive;
// a damaged archive or a member that cannot be read is an InputError naming
// the archive, and the member where there is one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "compressors.h"
#include "engine_builders.h"
#include "input_source.h"
#include "zip_archive.h"

namespace {

using namespace std::string_literals;
using engine_test::TempDir;
using engine_test::writeRaw;
using Format = Decompressor::Format;
namespace cz = compressors;

// The pipeline's block (input_source.cpp): members end at and about its edges.
constexpr size_t PIPE_BLOCK = size_t{256} << 10;

// CSV-like text of exactly `bytes` bytes, varied enough that deflate's
// blocks differ.
std::string textOf(size_t bytes, unsigned seed) {
  std::mt19937 gen(seed);
  std::string text = "id,name,value\n";
  while (text.size() < bytes)
    text += std::to_string(gen() % 100000) + ",n" + std::to_string(gen() % 97) + "," +
            std::string(gen() % 40, static_cast<char>('a' + gen() % 26)) + "\n";
  text.resize(bytes);
  return text;
}

std::string readMember(const std::string& path, const std::string& member,
                       const std::string& encoding = "") {
  InputSource source(path, InputSource::Settings{true, encoding, member});
  EXPECT_EQ(source.compression(), Format::ZIP);
  return std::string(std::istreambuf_iterator<char>(source.stream()), {});
}

// The message of the InputError that run throws; another outcome is named.
std::string inputError(const std::function<void()>& run) {
  try {
    run();
  } catch (const InputError& e) {
    return e.what();
  } catch (const std::exception& e) {
    return "(not an InputError) "s + e.what();
  }
  return "(no error)";
}

TEST(ZipDetect, TellsArchivesByTheirFirstBytes) {
  EXPECT_EQ(Decompressor::detect("PK\x03\x04\x14\0\0\0\x08\0"s), Format::ZIP);
  EXPECT_EQ(Decompressor::detect("PK\x05\x06\0\0\0\0\0\0"s), Format::ZIP);  // no member
  EXPECT_EQ(Decompressor::detect("PK\x03"s), Format::PLAIN);
  EXPECT_EQ(Decompressor::detect("PK,x\n1,2\n"s), Format::PLAIN);
  EXPECT_EQ(Decompressor::formatName(Format::ZIP), "zip"s);
}

struct Layout {
  const char* name;
  uint16_t method;
  bool zip64;
};

class ZipRead : public ::testing::TestWithParam<Layout> {};

// Members of sizes about the block's edges, one after another, each read
// again on its own, as a second pass does.
TEST_P(ZipRead, GivesEachMemberItsText) {
  const Layout& p = GetParam();
  TempDir dir;
  std::vector<cz::ZipEntry> entries;
  for (const size_t size :
       {size_t{0}, size_t{1}, PIPE_BLOCK - 1, PIPE_BLOCK, PIPE_BLOCK + 1, 3 * PIPE_BLOCK + 7}) {
    entries.push_back({"dir/m" + std::to_string(size) + ".csv",
                       textOf(size, static_cast<unsigned>(size)), p.method});
  }
  const std::string path =
      writeRaw(dir.file("data.zip"), cz::zipArchive(entries, p.zip64, "a comment PK\x05\x06"));

  const std::vector<ZipArchive::Member> listed = ZipArchive::list(path);
  ASSERT_EQ(listed.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(listed[i].name, entries[i].name);
    EXPECT_EQ(listed[i].method, p.method);
    EXPECT_EQ(listed[i].size, entries[i].text.size());
  }
  for (int pass = 0; pass < 2; ++pass)
    for (const cz::ZipEntry& e : entries)
      EXPECT_EQ(readMember(path, e.name), e.text) << e.name << ", pass " << pass;
}

INSTANTIATE_TEST_SUITE_P(Layouts, ZipRead,
                         ::testing::Values(Layout{"stored", 0, false}, Layout{"deflated", 8, false},
                                           Layout{"stored_zip64", 0, true},
                                           Layout{"deflated_zip64", 8, true}),
                         [](const ::testing::TestParamInfo<Layout>& info) {
                           return std::string(info.param.name);
                         });

// A member's text goes through the rest of the pipeline as a file's does,
// and a pass over it counts its rows, pass after pass.
TEST(ZipRead, TranscodesAndCountsAMember) {
  TempDir dir;
  const std::string path = writeRaw(
      dir.file("data.zip"),
      cz::zipArchive({{"readme.md", "# about\n"}, {"a.csv", "name,n\ncaf\xe9,1\nna\xefve,NA\n"}}));
  EXPECT_EQ(readMember(path, "a.csv", "CP1252"), "name,n\ncaf\xc3\xa9,1\nna\xc3\xafve,NA\n");

  Inf inf = engine_test::InfBuilder().file(path).build();
  inf.setInput(true, "", "a.csv");
  for (int pass = 0; pass < 2; ++pass) {
    inf.inferTypes();
    EXPECT_EQ(inf.getNumRows(), 2u);
    EXPECT_EQ(engine_test::countsFor(inf, "n").at("int"), 1u);
    EXPECT_EQ(inf.getInputInfo().compression, "zip");
  }
  EXPECT_EQ(inf.inferSplit(2), "the input is a zip member");
}

// 65,535 entries fill the end record's 16 bits without needing ZIP64 records,
// and a writer that needs none (Python's zipfile) writes none.
TEST(ZipRead, ListsAllOnesEntriesWithoutZip64Records) {
  constexpr size_t ENTRIES = 0xffff;
  TempDir dir;
  std::vector<cz::ZipEntry> entries;
  entries.reserve(ENTRIES);
  for (size_t i = 0; i < ENTRIES; ++i)
    entries.push_back({"m" + std::to_string(i) + ".csv", "n\n" + std::to_string(i) + "\n", 0});
  const std::string path = writeRaw(dir.file("many.zip"), cz::zipArchive(entries));

  const std::vector<ZipArchive::Member> listed = ZipArchive::list(path);
  ASSERT_EQ(listed.size(), ENTRIES);
  EXPECT_EQ(listed.back().name, entries.back().name);
  EXPECT_EQ(readMember(path, entries.back().name), entries.back().text);
}

struct Damage {
  const char* name;
  std::function<std::string(const std::string& text)> archive;
  std::string member;
  const char* expected;  // the message after the archive's path
};

std::string flippedAt(std::string s, size_t at) {
  s[at] = static_cast<char>(~s[at]);
  return s;
}

std::string deflatedDamaged(const std::string& text) {
  const std::string archive = cz::zipArchive({{"a.csv", text}});
  return flippedAt(archive, archive.size() / 3);
}

class ZipDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(ZipDamage, IsAnInputErrorNamingTheArchiveAndMember) {
  const Damage& p = GetParam();
  TempDir dir;
  const std::string text = textOf(100000, 5);
  const std::string path = writeRaw(dir.file("data.zip"), p.archive(text));
  const std::string what = inputError([&] { readMember(path, p.member); });
  EXPECT_EQ(what.rfind(path + p.expected, 0), 0u) << what;
}

INSTANTIATE_TEST_SUITE_P(
    Archives, ZipDamage,
    ::testing::Values(
        Damage{"crc_mismatch",
               [](const std::string& t) {
                 return flippedAt(cz::zipArchive({{"a.csv", t, 0}}), 30 + 5 + 1000);
               },
               "a.csv", ":a.csv: corrupt zip member: its text ends at byte 100000 with CRC-32"},
        Damage{"deflate_damaged", deflatedDamaged, "a.csv", ":a.csv: corrupt zip "},
        Damage{"longer_than_stated",
               [](const std::string& t) {
                 return cz::zipArchive({{"a.csv", t, 8, 0, -1}});
               },
               "a.csv", ":a.csv: corrupt zip member: its text ends at byte 100000"},
        Damage{"shorter_than_stated",
               [](const std::string& t) {
                 return cz::zipArchive({{"a.csv", t, 8, 0, 1}});
               },
               "a.csv", ":a.csv: corrupt zip member: its text ends at byte 100000"},
        Damage{"stored_sizes_differ",
               [](const std::string& t) {
                 return cz::zipArchive({{"a.csv", t, 0, 0, 1}});
               },
               "a.csv", ":a.csv: corrupt zip member: stored, with 100000 bytes of data"},
        Damage{"cut_in_half",
               [](const std::string& t) {
                 const std::string a = cz::zipArchive({{"a.csv", t}});
                 return a.substr(0, a.size() / 2);
               },
               "a.csv", ": not a zip archive, or one cut short"},
        Damage{"cut_by_a_byte",
               [](const std::string& t) {
                 const std::string a = cz::zipArchive({{"a.csv", t}});
                 return a.substr(0, a.size() - 1);
               },
               "a.csv", ": not a zip archive, or one cut short"},
        Damage{"directory_cut",
               [](const std::string& t) {
                 const std::string a = cz::zipArchive({{"a.csv", t}});
                 // The end record stays, the directory it points to is gone.
                 return a.substr(0, a.size() - 22 - 10) + a.substr(a.size() - 22);
               },
               "a.csv", ": corrupt zip archive: "},
        Damage{"all_ones_entries_without_zip64",
               [](const std::string& t) {
                 std::string a = cz::zipArchive({{"a.csv", t}});
                 // Both entry counts of the end record, with no ZIP64 records to hold more.
                 a.replace(a.size() - 22 + 8, 4, "\xff\xff\xff\xff");
                 return a;
               },
               "a.csv", ": corrupt zip archive: its directory is too short for its 65535 entries"},
        Damage{"bzip2_member",
               [](const std::string& t) {
                 return cz::zipArchive({{"b.csv", t, 12}});
               },
               "b.csv", ":b.csv: compressed with bzip2 (zip method 12), which quorle cannot read"},
        Damage{"encrypted_member",
               [](const std::string& t) {
                 return cz::zipArchive({{"a.csv", t, 0, 1}});
               },
               "a.csv", ":a.csv: an encrypted zip member"},
        Damage{"no_such_member",
               [](const std::string& t) {
                 return cz::zipArchive({{"a.csv", t}});
               },
               "b.csv", ": the zip archive has no member b.csv"},
        Damage{"no_member_named",
               [](const std::string& t) {
                 return cz::zipArchive({{"a.csv", t}});
               },
               "", ": a zip archive: name the member to read"},
        Damage{"member_of_a_plain_file", [](const std::string& t) { return t; }, "a.csv",
               ": not a zip archive, so it has no member a.csv"}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

// A pipe gives the directory last: it is refused rather than read to its end.
TEST(ZipPipe, RefusesAnArchiveFromAPipe) {
  TempDir dir;
  const std::string path = dir.file("fifo");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  // Small enough to sit in the pipe's buffer whether it is read or not.
  const std::string archive = cz::zipArchive({{"a.csv", "a,b\n1,2\n"}});
  std::thread writer([&] { writeRaw(path, archive); });
  const std::string what = inputError([&] { readMember(path, "a.csv"); });
  writer.join();
  EXPECT_EQ(what.rfind(path + ": a zip archive is read from a regular file only", 0), 0u) << what;
}

}  // namespace
