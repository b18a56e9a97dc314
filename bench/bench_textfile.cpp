// Copies big files line by line through the text reader and writer, each line copied out or
// seen in place, and sets the speed beside cp's and dd's on the same files in the same run, once
// within the page cache and once flushed to the disk. cp may copy inside the kernel
// (copy_file_range) without the data ever reaching a program; dd with 128 KiB blocks shows what
// a plain read and write loop costs.
// Usage: bench_textfile [folder] (default: a temporary folder). Needs about 650 MB free there.

#include "clsTextInputFile.h"
#include "clsTextOutputFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

constexpr qint64 FileSize = 200'000'000;
constexpr qint64 ShortLines = 10'000'000;
constexpr int Runs = 3;

// Written in chunks so that making the files does not itself need 200 MB of memory.
bool generate(const QString& path, const std::function<QByteArray(qint64)>& chunk) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    qint64 written = 0;
    while (written < FileSize) {
        const QByteArray c = chunk(written);
        if (f.write(c) != c.size())
            return false;
        written += c.size();
    }
    return f.size() == FileSize;
}

QByteArray oneLineChunk(qint64 offset) {
    constexpr qint64 ChunkSize = 1 << 20;
    const qint64 size = std::min(ChunkSize, FileSize - offset);
    QByteArray c(size, '\0');
    for (qint64 i = 0; i < size; ++i)
        c[i] = char(' ' + (offset + i) % 95);
    if (offset + size == FileSize)
        c[size - 1] = '\n';
    return c;
}

QByteArray shortLinesChunk(qint64 offset) {
    constexpr qint64 LineSize = FileSize / ShortLines; // 19 bytes and LF
    QByteArray c;
    c.reserve(1 << 20);
    for (qint64 line = offset / LineSize; c.size() + LineSize <= (1 << 20) && line < ShortLines;
         ++line) {
        const QByteArray number = QByteArray::number(line).rightJustified(LineSize - 6, '0');
        c += "<td>" + number + "|\n";
    }
    return c;
}

double seconds(const std::function<bool()>& work) {
    QElapsedTimer timer;
    timer.start();
    if (!work())
        return -1;
    return double(timer.nsecsElapsed()) / 1e9;
}

bool copyWithCp(const QString& from, const QString& to) {
    return QProcess::execute("cp", {from, to}) == 0;
}

bool copyWithDd(const QString& from, const QString& to) {
    return QProcess::execute("dd", {"if=" + from, "of=" + to, "bs=128K", "status=none"}) == 0;
}

bool copyLineByLine(const QString& from, const QString& to, qint32* lines) {
    QString inFolder, outFolder;
    clsTextInputFile in;
    clsTextOutputFile out;
    if (!in.OpenFile(inFolder, from) || !out.OpenFile(outFolder, to))
        return false;
    while (!in.EndOfFile())
        out.WriteLine(in.ReadLine());
    in.CloseFile();
    out.CloseFile();
    *lines = out.Lines();
    return out.WriteFailure().isEmpty() && in.Lines() == out.Lines();
}

// The same, seeing each line where it lies in the reader's buffer instead of copying it out,
// as the upload job reads its template.
bool copyInPlace(const QString& from, const QString& to, qint32* lines) {
    QString inFolder, outFolder;
    clsTextInputFile in;
    clsTextOutputFile out;
    if (!in.OpenFile(inFolder, from) || !out.OpenFile(outFolder, to))
        return false;
    while (!in.EndOfFile()) {
        bool ended = false;
        const QByteArrayView part = in.ReadLineView(1 << 20, ended);
        if (ended)
            out.WriteLine(part);
        else
            out.WritePart(part);
    }
    in.CloseFile();
    out.CloseFile();
    *lines = out.Lines();
    return out.WriteFailure().isEmpty() && in.Lines() == out.Lines();
}

long peakMemoryMB() {
#ifdef Q_OS_UNIX
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
#else
    return -1;
#endif
}

// The same copy by each tool, best of Runs. With toDisk each copy ends only when the target
// has been flushed to the disk (sync FILE), which is what a disk-bound copy costs.
bool measure(const QString& label, const QString& source, qint64 expectedLines, bool toDisk) {
    const QString target = source + ".copy";
    qint32 lines = 0;
    qint32 linesInPlace = 0;
    const std::function<bool()> copiers[] = {
        [&] { return copyWithCp(source, target); },
        [&] { return copyWithDd(source, target); },
        [&] { return copyLineByLine(source, target, &lines); },
        [&] { return copyInPlace(source, target, &linesInPlace); },
    };
    double best[4] = {1e9, 1e9, 1e9, 1e9};
    for (int run = 0; run < Runs; ++run) {
        for (int i = 0; i < 4; ++i) {
            QFile::remove(target);
            const double s = seconds([&] {
                return copiers[i]() && (!toDisk || QProcess::execute("sync", {target}) == 0);
            });
            if (s < 0) {
                std::fprintf(stderr, "%s: copy failed\n", qPrintable(label));
                return false;
            }
            best[i] = std::min(best[i], s);
        }
    }
    // Every LF became CR LF.
    const qint64 copied = QFileInfo(target).size();
    QFile::remove(target);
    if (lines != expectedLines || linesInPlace != expectedLines ||
        copied != FileSize + expectedLines) {
        std::fprintf(stderr, "%s: %d lines, %lld bytes copied: wrong\n", qPrintable(label), lines,
                     copied);
        return false;
    }
    const double mb = double(FileSize) / 1e6;
    std::printf("%-24s %-9s cp %5.0f MB/s  dd %5.0f MB/s  line by line %5.0f MB/s = %3.0f%% of cp, "
                "%3.0f%% of dd; seen in place %5.0f MB/s = %3.0f%% of dd  (peak memory so far %ld "
                "MB)\n",
                qPrintable(label), toDisk ? "to disk" : "in cache", mb / best[0], mb / best[1],
                mb / best[2], 100.0 * best[0] / best[2], 100.0 * best[1] / best[2], mb / best[3],
                100.0 * best[1] / best[3], peakMemoryMB());
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::optional<QTemporaryDir> temp;
    QString folder;
    if (argc > 1) {
        folder = QString::fromLocal8Bit(argv[1]);
    } else {
        temp.emplace();
        folder = temp->path();
    }
    const QString oneLine = QDir(folder).filePath("one-line.txt");
    const QString shortLines = QDir(folder).filePath("short-lines.txt");
    if (!generate(shortLines, shortLinesChunk) || !generate(oneLine, oneLineChunk)) {
        std::fprintf(stderr, "cannot write the test files in %s\n", qPrintable(folder));
        return 1;
    }
    std::printf("200 MB per file, best of %d runs, files in %s\n", Runs, qPrintable(folder));
    // The short lines first: the peak memory then shows what streaming them costs.
    bool ok = true;
    for (const bool toDisk : {false, true})
        ok = ok && measure("10 million short lines", shortLines, ShortLines, toDisk) &&
             measure("one line of 200 MB", oneLine, 1, toDisk);
    QFile::remove(oneLine);
    QFile::remove(shortLines);
    return ok ? 0 : 1;
}
