#include "app/OutputWriter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>

TEST(OutputWriter, FullPipeNeverBlocksDropsWholeLinesAndSaysHowManyOnceDrained)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    std::string read;
    {
        COutputWriter writer(fds[1], 1000);
        int lines = 0;
        for (; lines < 2000; ++lines) // far beyond pipe and buffer: must return every time
            writer.Write("line " + std::to_string(lines) + " of the run\n");
        EXPECT_GT(writer.Dropped(), 0u);
        EXPECT_LE(writer.Held(), 1000u);
        std::thread reader([&] {
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
                read.append(buffer, static_cast<std::size_t>(n));
        });
        writer.Drain(5000);
        EXPECT_EQ(writer.Held(), 0u);
        ::close(fds[1]);
        reader.join();
    }
    ::close(fds[0]);
    // Whole lines in order, then the one note with the count of the lines that were not.
    const std::size_t note = read.find("Kestrune: ");
    ASSERT_NE(note, std::string::npos) << read.substr(0, 200);
    const unsigned long dropped = std::stoul(read.substr(note + 10));
    int kept = 0;
    for (std::size_t at = 0; at < note; at = read.find('\n', at) + 1) {
        EXPECT_EQ(read.compare(at, 5 + std::to_string(kept).size(), "line " + std::to_string(kept)), 0);
        ++kept;
    }
    EXPECT_EQ(kept + dropped, 2000u);
    EXPECT_NE(read.find(" output lines dropped", note), std::string::npos);
}
