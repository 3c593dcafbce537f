// Recorded traces: the three formats read into requests in 100-ns ticks,
// and bad input stopped at its line with the reason.
#include <gtest/gtest.h>

#include "sim/trace.h"

namespace {

using sim::TraceFormat;
using sim::TraceRequestKind;

sim::Trace Parse(const std::string& text, TraceFormat format = TraceFormat::kAuto) {
  sim::Trace trace;
  std::string error;
  EXPECT_TRUE(sim::ParseTrace("t.txt", text, format, &trace, &error)) << error;
  return trace;
}

std::string ParseError(const std::string& text, TraceFormat format = TraceFormat::kAuto) {
  sim::Trace trace;
  std::string error;
  EXPECT_FALSE(sim::ParseTrace("t.txt", text, format, &trace, &error)) << text;
  return error;
}

const char kWpaHeader[] =
    "IO Type;Priority;Init Time (s);Complete Time (s);Size (B);Min Offset;Max Offset;Disk;Count\r\n";

TEST(WpaTrace, RowsInAnyOrderAreSortedAndTimesAreWholeTicks) {
  sim::Trace trace = Parse(std::string("\xEF\xBB\xBF") + kWpaHeader +
                           "Write;Normal;11,5;11,500000100;1.048.576;0x200;0x3FF;2;1\r\n"
                           "Read;Low;11,000385200;11,000530900;16.384;0x1169481400;0x11694893FF;1;1\r\n"
                           "Flush;Normal;11,000385200;11,000385200;0;0x0;0x0;1;1\r\n");
  EXPECT_EQ(trace.format, TraceFormat::kWpa);
  EXPECT_FALSE(trace.filetime_clock);
  EXPECT_EQ(trace.disks, (std::vector<std::string>{"disk 1", "disk 2"}));
  ASSERT_EQ(trace.requests.size(), 3u);
  // The flush ends first, at the tick it began.
  EXPECT_EQ(trace.requests[0].kind, TraceRequestKind::kFlush);
  EXPECT_EQ(trace.requests[0].issue, 110003852);
  EXPECT_EQ(trace.requests[0].complete, 110003852);
  EXPECT_EQ(trace.requests[0].bytes, 0u);
  EXPECT_EQ(trace.requests[1].kind, TraceRequestKind::kRead);
  EXPECT_EQ(trace.requests[1].complete, 110005309);
  EXPECT_EQ(trace.requests[1].offset, 0x1169481400u);
  EXPECT_EQ(trace.requests[1].bytes, 16384u);
  EXPECT_EQ(trace.requests[2].kind, TraceRequestKind::kWrite);
  EXPECT_EQ(trace.requests[2].disk, 1);
  EXPECT_EQ(trace.requests[2].issue, 115000000);
  EXPECT_EQ(trace.requests[2].complete, 115000001);
  EXPECT_EQ(trace.requests[2].bytes, 1048576u);
}

TEST(BlkparseTrace, IssuesAndCompletionsPairByDeviceAndSector) {
  sim::Trace trace = Parse(
      "  8,16   0        1     0.000000000  4162  Q   R 2048 + 8 [dd]\n"
      "  8,16   0        2     0.000001000  4162  D   R 2048 + 8 [dd]\n"
      "  8,0    1        3     0.000001000  4162  D   W 100 + 16 [kworker/1:1]\n"
      "  8,16   0        4     0.000002000  4162  D   R 2048 + 8 [dd]\n"
      "  8,0    1        5     0.000002500     0  C   W 100 + 16 [0]\n"
      "  8,16   0        6     0.000003099     0  C   R 2048 + 8 [0]\n"
      "  8,0    1        7     0.000004000   200  D  FN [jbd2/sda1-8]\n"
      "  8,16   0        8     0.000005000     0  C   R 2048 + 8 [0]\n"
      "  8,0    1        9     0.000006000     0  C  FN [0]\n"
      "\n"
      "CPU0 (8,16):\n"
      " Reads Queued:           1,        4KiB\t Writes Queued:           0,        0KiB\n"
      "Total (8,16):\n");
  EXPECT_EQ(trace.format, TraceFormat::kBlkparse);
  EXPECT_EQ(trace.disks, (std::vector<std::string>{"device 8,0", "device 8,16"}));
  ASSERT_EQ(trace.requests.size(), 4u);
  EXPECT_EQ(trace.requests[0].kind, TraceRequestKind::kWrite);
  EXPECT_EQ(trace.requests[0].disk, 0);
  EXPECT_EQ(trace.requests[0].complete, 25);
  // Nanoseconds are cut to the 100-ns tick: 3,099 ns is tick 30.
  EXPECT_EQ(trace.requests[1].kind, TraceRequestKind::kRead);
  EXPECT_EQ(trace.requests[1].disk, 1);
  EXPECT_EQ(trace.requests[1].issue, 10);
  EXPECT_EQ(trace.requests[1].complete, 30);
  EXPECT_EQ(trace.requests[1].offset, 2048u * 512);
  EXPECT_EQ(trace.requests[1].bytes, 8u * 512);
  EXPECT_EQ(trace.requests[2].issue, 20);  // the second issue of the same sector ends second
  EXPECT_EQ(trace.requests[2].complete, 50);
  EXPECT_EQ(trace.requests[3].kind, TraceRequestKind::kFlush);
  EXPECT_EQ(trace.requests[3].complete, 60);
}

TEST(CambridgeTrace, CompletionIsTimestampPlusResponseTimeWithOrWithoutHeader) {
  const std::string rows =
      "128166372003061629,web,1,Write,3218866176,4096,1111\n"
      "128166372002061629,hm,0,Read,512,65536,20\n"
      "128166372002061629,hm,1,Read,0,512,0\n";
  for (const std::string& text :
       {rows, "Timestamp,Hostname,DiskNumber,Type,Offset,Size,ResponseTime\n" + rows}) {
    sim::Trace trace = Parse(text);
    EXPECT_EQ(trace.format, TraceFormat::kCambridge);
    EXPECT_TRUE(trace.filetime_clock);
    EXPECT_EQ(trace.disks, (std::vector<std::string>{"hm disk 0", "hm disk 1", "web disk 1"}));
    ASSERT_EQ(trace.requests.size(), 3u);
    EXPECT_EQ(trace.requests[0].disk, 1);  // hm 1 ends at its own start
    EXPECT_EQ(trace.requests[1].complete, 128166372002061649);
    EXPECT_EQ(trace.requests[2].kind, TraceRequestKind::kWrite);
    EXPECT_EQ(trace.requests[2].complete, 128166372003062740);
    EXPECT_EQ(sim::TraceResponseSum(trace, 2), 1111);
  }
}

TEST(TraceFormats, NamedFormatsAndTheListOfKnownOnes) {
  TraceFormat format = TraceFormat::kAuto;
  EXPECT_TRUE(sim::ParseTraceFormat("blkparse", &format));
  EXPECT_EQ(format, TraceFormat::kBlkparse);
  EXPECT_FALSE(sim::ParseTraceFormat("iostat", &format));
  EXPECT_EQ(sim::KnownTraceFormats(), "wpa, blkparse, cambridge");
  // A Cambridge row read as WPA is a header without the columns.
  EXPECT_EQ(ParseError("128166372003061629,hm,1,Read,0,512,0\n", TraceFormat::kWpa),
            "t.txt:1: no column \"IO Type\" in the header");
}

struct BadInput {
  const char* text;
  const char* error;
};

class BadTraceTest : public testing::TestWithParam<BadInput> {};

TEST_P(BadTraceTest, StopsAtTheLineWithTheReason) { EXPECT_EQ(ParseError(GetParam().text), GetParam().error); }

const std::string kWpa = kWpaHeader;
const std::string kWpaRead = "Read;Low;1,0;1,1;4.096;0x0;0xFFF;0;1\r\n";
const std::string kWpaCases[] = {
    kWpa + kWpaRead + "Trim;Low;1,0;1,1;4.096;0x0;0xFFF;0;1\r\n",
    kWpa + "Read;Low;1.5;1,6;4.096;0x0;0xFFF;0;1\r\n",
    kWpa + "Read;Low;1,00000005;1,6;4.096;0x0;0xFFF;0;1\r\n",
    kWpa + "Read;Low;1,5;1,4;4.096;0x0;0xFFF;0;1\r\n",
    kWpa + "Read;Low;1,0;1,1;4.96;0x0;0xFFF;0;1\r\n",
    kWpa + "Read;Low;1,0;1,1;4.096;12;0xFFF;0;1\r\n",
    kWpa + "Read;Low;1,0;1,1;4.096;0x0;0xFFF;0;3\r\n",
    kWpa + "Read;Low;1,0;1,1;4.096;0x0;0\r\n",
    kWpa,
    "IO Type;Init Time (s);Complete Time (s);Size (B);Min Offset\r\n",
};

INSTANTIATE_TEST_SUITE_P(
    Wpa, BadTraceTest,
    testing::Values(
        BadInput{kWpaCases[0].c_str(), "t.txt:3: unknown IO Type \"Trim\" (known: Read, Write, Flush)"},
        BadInput{kWpaCases[1].c_str(), "t.txt:2: Init Time \"1.5\" is not a time in seconds such as 11,000385200"},
        BadInput{kWpaCases[2].c_str(), "t.txt:2: Init Time \"1,00000005\" is finer than 100 ns"},
        BadInput{kWpaCases[3].c_str(), "t.txt:2: the completion is before the issue"},
        BadInput{kWpaCases[4].c_str(), "t.txt:2: Size \"4.96\" is not a byte count such as 16.384"},
        BadInput{kWpaCases[5].c_str(), "t.txt:2: Min Offset \"12\" is not a hexadecimal offset such as 0x1F000"},
        BadInput{kWpaCases[6].c_str(), "t.txt:2: Count \"3\": a row must be one request, not a sum of several"},
        BadInput{kWpaCases[7].c_str(), "t.txt:2: 7 fields where the header has 9"},
        BadInput{kWpaCases[8].c_str(), "t.txt:1: the trace holds no request"},
        BadInput{kWpaCases[9].c_str(), "t.txt:1: no column \"Disk\" in the header"}));

INSTANTIATE_TEST_SUITE_P(
    Blkparse, BadTraceTest,
    testing::Values(
        BadInput{"8,0 0 1 0.000001000 1 D R 8 + 8 [a]\n8,0 0 2 0.000000500 0 C R 8 + 8 [0]\n",
                 "t.txt:2: completion of 8,0 sector 8 before any issue of it"},
        BadInput{"8,0 0 1 0.000001000 1 D R 8 + 8 [a]\n8,0 0 2 0.000002000 0 C R 16 + 8 [0]\n",
                 "t.txt:2: completion of 8,0 sector 16 before any issue of it"},
        BadInput{"8,0 0 1 0.000001000 1 D R 8 + 8 [a]\n8,0 0 2 0.000002000 1 D W 9 + 8 [a]\n"
                 "8,0 0 3 0.000003000 0 C R 8 + 8 [0]\n",
                 "t.txt:2: issue of 8,0 sector 9 never completes"},
        BadInput{"8,0 0 1 0.000001000 1 D DS 8 + 8 [a]\n8,0 0 2 0.000002000 0 C DS 8 + 8 [0]\n",
                 "t.txt:1: RWBS \"DS\": discards cannot be replayed (reads, writes and flushes only)"},
        BadInput{"8,0 0 1 0.000001000 1 D R 8 + 8 [a]\n8,0 0 x 0.000002000 0 C R 8 + 8 [0]\n",
                 "t.txt:2: CPU and sequence number must be whole numbers"},
        BadInput{"8,0 0 1 0.000001000 1 D R 8 + 8 [a]\n8,0 0 2 2s 0 C R 8 + 8 [0]\n",
                 "t.txt:2: time \"2s\" is not seconds such as 0.000123456"},
        BadInput{"8,0 0 1 0.000001000 1 D R 8 - 8 [a]\n",
                 "t.txt:1: \"8\" where SECTOR + COUNT or [name] was expected"},
        BadInput{"8,0 0 1 0.000001000 1 D R 8 + 8 [a]\nsome words\n",
                 "t.txt:2: not a blkparse event line (device such as 8,0 expected first)"}));

INSTANTIATE_TEST_SUITE_P(
    Cambridge, BadTraceTest,
    testing::Values(
        BadInput{"128166372003061629,hm,1,Read,0,512,0\n128166372003061629,hm,1,Read,0,512\n",
                 "t.txt:2: 6 fields where 7 are expected (Timestamp,Hostname,DiskNumber,Type,Offset,Size,"
                 "ResponseTime)"},
        BadInput{"128166372003061629,hm,1,Read,0,512,0\n128166372003061629,hm,1,Trim,0,512,0\n",
                 "t.txt:2: unknown Type \"Trim\" (known: Read, Write)"},
        BadInput{"128166372003061629,hm,1,Read,0,512,0\n128166372003061629,hm,1,Read,0,512,-5\n",
                 "t.txt:2: ResponseTime \"-5\": the completion is before the issue"},
        BadInput{"128166372003061629,hm,1,Read,0,512,0\n1281663720030616x9,hm,1,Read,0,512,0\n",
                 "t.txt:2: Timestamp \"1281663720030616x9\" is not a filetime"},
        BadInput{"128166372003061629,hm,1,Read,0,512,0\n128166372003061629,h m,1,Read,0,512,0\n",
                 "t.txt:2: Hostname \"h m\" is not a host name"},
        BadInput{"Timestamp,Hostname,DiskNumber,Type,Offset,Size,ResponseTime\n128166372003061629,hm,one,Read,0,512,0\n",
                 "t.txt:2: DiskNumber \"one\" is not a disk number"}));

INSTANTIATE_TEST_SUITE_P(
    Unknown, BadTraceTest,
    testing::Values(BadInput{"time,disk,op\n1,2,3\n",
                             "t.txt:1: cannot tell the trace format from the first line; choose one with "
                             "--trace-format (known: wpa, blkparse, cambridge)"},
                    BadInput{"", "t.txt:1: cannot tell the trace format from the first line; choose one with "
                                 "--trace-format (known: wpa, blkparse, cambridge)"}));

TEST(TraceFormats, AnEmptyFileOfANamedFormatHoldsNoRequest) {
  EXPECT_EQ(ParseError("", TraceFormat::kCambridge), "t.txt:1: the trace holds no request");
  EXPECT_EQ(ParseError("", TraceFormat::kBlkparse), "t.txt:1: the trace holds no request");
  EXPECT_EQ(ParseError("", TraceFormat::kWpa), "t.txt:1: the file is empty; a header line is expected");
}

TEST(LoadTrace, AMissingFileIsNamed) {
  sim::Trace trace;
  std::string error;
  EXPECT_FALSE(sim::LoadTrace("/nonexistent/trace.csv", TraceFormat::kAuto, &trace, &error));
  EXPECT_EQ(error, "/nonexistent/trace.csv: cannot be read");
}

}  // namespace
