#include "Recorders.h"
#include "TextStream.h"
#include "clsTextFile.h"
#include "clsTextInputFile.h"
#include "clsTextOutputFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

using Lines = QList<QByteArray>;

namespace {

const QString Sep = QDir::separator();
constexpr qsizetype Buf = qsizetype(platform::TextStream::BufferSize);

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

Lines readAll(clsTextInputFile& in) {
    Lines lines;
    while (!in.EndOfFile())
        lines << in.ReadLine();
    return lines;
}

} // namespace

class tst_TextFile : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.path() + Sep + name; }

private slots:
    void roundTrip_data();
    void roundTrip();
    void lineEnds_data();
    void lineEnds();
    void folderJoin_data();
    void folderJoin();
    void openFailures_data();
    void openFailures();
    void permissionDenied();
    void modesThatCreate();
    void reopenAndClose();
    void wrappersBeforeOpen();
    void wrongDirection();
    void diskFull();
    void destructorFlushes();
    void counterOverflow();
};

void tst_TextFile::roundTrip_data() {
    QTest::addColumn<Lines>("lines");
    QByteArray nul("a\0b\0", 4);
    QTest::newRow("utf-8") << Lines{"gr\xc3\xbc\xc3\x9f", "\xe2\x82\xac 5", "<p>%Tallyhost%</p>"};
    QTest::newRow("latin-1") << Lines{"gr\xfc\xdf", "\xa9 2024"};
    QTest::newRow("invalid utf-8") << Lines{"\xc3\x28", "\xff\xfe\xfd", "\xed\xa0\x80"};
    QTest::newRow("nul bytes") << Lines{nul, QByteArray(1, '\0'), nul + nul};
    QTest::newRow("empty lines") << Lines{"", "x", "", ""};
    QTest::newRow("line longer than the buffer") << Lines{QByteArray(3 * Buf + 7, 'q'), "tail"};
    Lines many;
    for (int i = 0; i < 50000; ++i)
        many << QByteArray(i % 37, char('a' + i % 26));
    QTest::newRow("lines across many buffers") << many;
}

void tst_TextFile::roundTrip() {
    QFETCH(Lines, lines);
    QString folder = dir.path();
    {
        clsTextOutputFile out;
        QVERIFY(out.OpenFile(folder, "round.htm"));
        for (const auto& line : lines)
            out.WriteLine(line);
        out.CloseFile();
        QCOMPARE(out.Lines(), lines.size());
        QCOMPARE(out.WriteFailure(), QString());
    }
    QCOMPARE(readFile(path("round.htm")), lines.join("\r\n") + "\r\n");
    {
        // Each line in two parts, the line end coming with the second.
        clsTextOutputFile out;
        QVERIFY(out.OpenFile(folder, "parts.htm"));
        for (const auto& line : lines) {
            out.WritePart(line.left(line.size() / 2));
            out.WriteLine(line.mid(line.size() / 2));
        }
        out.CloseFile();
        QCOMPARE(out.Lines(), lines.size());
    }
    QCOMPARE(readFile(path("parts.htm")), readFile(path("round.htm")));

    clsTextInputFile in;
    QVERIFY(in.OpenFile(folder, "round.htm"));
    QCOMPARE(readAll(in), lines);
    QCOMPARE(in.Lines(), lines.size());
    // Again, letting go of each line before the next, as the upload job does.
    QVERIFY(in.OpenFile(folder, "round.htm"));
    for (const auto& expected : lines)
        QCOMPARE(in.ReadLine(), expected);
    QVERIFY(in.EndOfFile());
}

void tst_TextFile::lineEnds_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Lines>("lines");
    const QByteArray x(Buf - 1, 'x');
    QTest::newRow("LF") << QByteArray("a\nb\n") << Lines{"a", "b"};
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << Lines{"a", "b"};
    QTest::newRow("CR") << QByteArray("a\rb\r") << Lines{"a", "b"};
    QTest::newRow("mixed") << QByteArray("a\r\nb\nc\rd") << Lines{"a", "b", "c", "d"};
    QTest::newRow("last line without end") << QByteArray("a\nlast") << Lines{"a", "last"};
    QTest::newRow("empty file") << QByteArray() << Lines{};
    QTest::newRow("empty lines") << QByteArray("\n\r\n\r") << Lines{"", "", ""};
    QTest::newRow("CR CR LF") << QByteArray("a\r\r\n") << Lines{"a", ""};
    QTest::newRow("LF CR") << QByteArray("a\n\rb") << Lines{"a", "", "b"};
    QTest::newRow("CR LF split by the buffer") << x + "\r\ny" << Lines{x, "y"};
    QTest::newRow("lone CR ends the buffer") << x + "\ry\n" << Lines{x, "y"};
    QTest::newRow("CR ends buffer and file") << x + "\r" << Lines{x};
    QTest::newRow("CR LF split, then the end") << x + "\r\n" << Lines{x};
    QTest::newRow("line fills the buffer, no end") << x + "x" << Lines{x + "x"};
    QTest::newRow("LF starts the buffer") << x + "x\nz" << Lines{x + "x", "z"};
    const QByteArray xx = x + x + "x"; // ends one byte before the second buffer does
    QTest::newRow("long line, CR LF split") << xx + "\r\ny" << Lines{xx, "y"};
    QTest::newRow("long line, lone CR split") << xx + "\ry" << Lines{xx, "y"};
    QTest::newRow("long line, short lines after")
        << xx + "x\nab\r\ncd" << Lines{xx + "x", "ab", "cd"};
    QTest::newRow("long line after a short one") << "ab\n" + xx + "\nz" << Lines{"ab", xx, "z"};
    QTest::newRow("long last line without end") << "ab\n" + xx << Lines{"ab", xx};
}

void tst_TextFile::lineEnds() {
    QFETCH(QByteArray, bytes);
    QFETCH(Lines, lines);
    writeFile(path("ends.txt"), bytes);
    QString folder;
    clsTextInputFile in;
    QVERIFY(in.OpenFile(folder, path("ends.txt")));
    QCOMPARE(readAll(in), lines);
    // Past the end: "" every time, never counted, never an error.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(in.ReadLine(), QByteArray());
    QVERIFY(in.EndOfFile());
    QCOMPARE(in.Lines(), lines.size());

    // Taken in parts of any size, copied or seen in place, the lines come out the same and are
    // counted once each.
    for (const bool inPlace : {false, true})
        for (const qsizetype part :
             {qsizetype(1), qsizetype(2), qsizetype(5), Buf - 1, Buf, 3 * Buf}) {
            QVERIFY(in.OpenFile(folder, path("ends.txt")));
            Lines joined;
            QByteArray line;
            while (!in.EndOfFile()) {
                bool ended = false;
                QByteArray copy;
                const QByteArrayView piece =
                    inPlace ? in.ReadLineView(part, ended) : (copy = in.ReadLinePart(part, ended));
                QVERIFY(piece.size() <= part);
                line += piece;
                if (ended) {
                    joined << line;
                    line.clear();
                }
            }
            QCOMPARE(joined, lines);
            QCOMPARE(line, QByteArray());
            QCOMPARE(in.Lines(), lines.size());
        }
}

void tst_TextFile::folderJoin_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("folderAfter");
    const QString d = dir.path();
    QTest::newRow("empty folder, full path") << QString() << d + Sep + "j.htm" << QString();
    QTest::newRow("trailing separator") << d + Sep << "j.htm" << d + Sep;
    QTest::newRow("no separator") << d << "j.htm" << d + Sep;
}

void tst_TextFile::folderJoin() {
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(QString, folderAfter);
    QFile::remove(path("j.htm"));
    QString outFolder = folder, inFolder = folder;
    clsTextOutputFile out;
    QVERIFY(out.OpenFile(outFolder, name));
    out.WriteLine("joined");
    out.CloseFile();
    QCOMPARE(outFolder, folderAfter);
    clsTextInputFile in;
    QVERIFY(in.OpenFile(inFolder, name));
    QCOMPARE(inFolder, folderAfter);
    QCOMPARE(readAll(in), Lines{"joined"});
}

void tst_TextFile::openFailures_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description");
    const QString d = dir.path();
    QDir(d).mkpath("sub");
    const QString noDir = "No such file or directory";
    QTest::newRow("reader, missing folder") << 1 << d + Sep + "nowhere"
                                            << "t.htm" << noDir;
    QTest::newRow("writer, missing folder") << 2 << d + Sep + "nowhere"
                                            << "t.htm" << noDir;
    QTest::newRow("reader, missing file") << 1 << d << "missing.htm" << noDir;
    QTest::newRow("reader, folder") << 1 << d << "sub"
                                    << "Is a directory";
    QTest::newRow("writer, folder") << 2 << d << "sub"
                                    << "Is a directory";
    QTest::newRow("appender, folder") << 8 << d << "sub"
                                      << "Is a directory";
    QTest::newRow("unknown mode") << 5 << d << "t.htm"
                                  << "Bad file mode 5";
#ifndef Q_OS_WIN
    // None of these may wait: a pipe without a writer or reader, a device that never ends.
    ::mkfifo(QFile::encodeName(d + Sep + "pipe").constData(), 0600);
    writeFile(d + Sep + "target.htm", "keep\n");
    QFile::link(d + Sep + "target.htm", d + Sep + "link");
    const QString notOrdinary = ", not an ordinary file; use an ordinary file instead";
    const QString link = "Is a symbolic link, and a file is never written through one; remove the "
                         "link and try again";
    QTest::newRow("reader, pipe") << 1 << d << "pipe"
                                  << "Is a named pipe" + notOrdinary;
    QTest::newRow("writer, pipe") << 2 << d << "pipe"
                                  << "Is a named pipe" + notOrdinary;
    QTest::newRow("reader, device") << 1 << "/dev"
                                    << "zero"
                                    << "Is a device" + notOrdinary;
    QTest::newRow("writer, link") << 2 << d << "link" << link;
    QTest::newRow("appender, link") << 8 << d << "link" << link;
#endif
}

void tst_TextFile::openFailures() {
    QFETCH(int, mode);
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(QString, description);
    MessageRecorder recorder;
    const QString joined = folder + Sep;
    const bool existed = QFileInfo(joined + name).exists() || QFileInfo(joined + name).isSymLink();
    clsTextFile file;
    QVERIFY(!file.OpenFile(folder, name, mode));
    QCOMPARE(folder, joined);
    QCOMPARE(recorder.texts(), QStringList{"File: " + joined + name + " - " + description});
    QCOMPARE(recorder.messages[0].title, QString("Open File"));
    QCOMPARE(recorder.messages[0].icon, platform::MsgIcon::Critical);
    // Reading must never leave an empty file where the template was expected, and a failed
    // open changes nothing.
    QCOMPARE(QFileInfo(joined + name).exists() || QFileInfo(joined + name).isSymLink(), existed);
    if (QFileInfo::exists(path("target.htm")))
        QCOMPARE(readFile(path("target.htm")), QByteArray("keep\n"));
    QVERIFY_THROWS_EXCEPTION(TextFileError, file.EndOfFile());
    file.CloseFile();
}

void tst_TextFile::permissionDenied() {
#ifndef Q_OS_WIN
    if (::geteuid() == 0)
        QSKIP("root may read any file");
#endif
    writeFile(path("locked.htm"), "secret\n");
    QFile::setPermissions(path("locked.htm"), {});
    MessageRecorder recorder;
    QString folder = dir.path();
    clsTextInputFile in;
    QVERIFY(!in.OpenFile(folder, "locked.htm"));
    QCOMPARE(recorder.texts(), QStringList{"File: " + folder + "locked.htm - Permission denied"});
}

void tst_TextFile::modesThatCreate() {
    // Writing replaces what was there, however much longer; a file released without a line
    // written is left empty.
    writeFile(path("old.htm"), QByteArray(300000, 'o') + "\n");
    QString folder = dir.path();
    {
        clsTextOutputFile out;
        QVERIFY(out.OpenFile(folder, "old.htm"));
        out.WriteLine("new");
        out.CloseFile();
        QCOMPARE(readFile(path("old.htm")), QByteArray("new\r\n"));
        QVERIFY(out.OpenFile(folder, "old.htm"));
    }
    QCOMPARE(readFile(path("old.htm")), QByteArray());

    // Appending keeps create-if-missing and adds after what is there.
    QFile::remove(path("log.txt"));
    clsTextFile file;
    for (const QByteArray line : {"one", "two"}) {
        QVERIFY(file.OpenFile(folder, "log.txt", 8));
        file.WriteLine(line);
        file.CloseFile();
    }
    QCOMPARE(readFile(path("log.txt")), QByteArray("one\r\ntwo\r\n"));
}

void tst_TextFile::reopenAndClose() {
    MessageRecorder recorder;
    QString folder = dir.path();
    clsTextFile file;
    file.CloseFile(); // before any open: nothing happens
    QVERIFY(file.OpenFile(folder, "first.htm", 2));
    file.WriteLine("1");
    file.WriteLine("2");
    QVERIFY(file.OpenFile(folder, "second.htm", 2));
    QCOMPARE(readFile(path("first.htm")), QByteArray("1\r\n2\r\n"));
    QCOMPARE(file.LinesWrote(), 0);
    file.WriteLine("3");
    file.CloseFile();
    file.CloseFile();
    QCOMPARE(file.LinesWrote(), 1);

    QVERIFY(file.OpenFile(folder, "first.htm", 1));
    QCOMPARE(file.ReadLine(), QByteArray("1"));
    // A reopen that fails leaves the old stream closed: reads fail, counts stay.
    QString missing = folder + Sep + "nowhere";
    QVERIFY(!file.OpenFile(missing, "x.htm", 1));
    QVERIFY_THROWS_EXCEPTION(TextFileError, file.ReadLine());
    file.CloseFile();
    QCOMPARE(file.LinesRead(), 1);
    QCOMPARE(recorder.messages.size(), 1);
}

void tst_TextFile::wrappersBeforeOpen() {
    MessageRecorder recorder;
    clsTextInputFile in;
    clsTextOutputFile out;
    QVERIFY_THROWS_EXCEPTION(TextFileError, in.ReadLine());
    QVERIFY_THROWS_EXCEPTION(TextFileError, in.EndOfFile());
    QVERIFY_THROWS_EXCEPTION(TextFileError, in.CloseFile());
    QVERIFY_THROWS_EXCEPTION(TextFileError, in.Lines());
    QVERIFY_THROWS_EXCEPTION(TextFileError, out.WriteLine("x"));
    QVERIFY_THROWS_EXCEPTION(TextFileError, out.CloseFile());
    QVERIFY_THROWS_EXCEPTION(TextFileError, out.Lines());
    QVERIFY_THROWS_EXCEPTION(TextFileError, out.WriteFailure());
    QVERIFY(recorder.messages.isEmpty());

    // After a first open that failed the inner object exists: close and counts are harmless.
    QString missing = dir.path() + Sep + "nowhere";
    QVERIFY(!out.OpenFile(missing, "x.htm"));
    out.CloseFile();
    QCOMPARE(out.Lines(), 0);
    QVERIFY_THROWS_EXCEPTION(TextFileError, out.WriteLine("x"));
}

void tst_TextFile::wrongDirection() {
    writeFile(path("r.htm"), "line\n");
    QString folder = dir.path();
    clsTextFile writer, reader;
    QVERIFY(writer.OpenFile(folder, "w.htm", 2));
    QVERIFY_THROWS_EXCEPTION(TextFileError, writer.ReadLine());
    QVERIFY_THROWS_EXCEPTION(TextFileError, writer.EndOfFile());
    QVERIFY(reader.OpenFile(folder, "r.htm", 1));
    QVERIFY_THROWS_EXCEPTION(TextFileError, reader.WriteLine("x"));
    QCOMPARE(writer.LinesRead(), 0);
    QCOMPARE(reader.LinesWrote(), 0);
    QCOMPARE(reader.ReadLine(), QByteArray("line"));
}

void tst_TextFile::diskFull() {
    if (!QFileInfo::exists("/dev/full"))
        QSKIP("no /dev/full here");
    const QString noSpace = "No space left on device";
    QString folder = "/dev";
    clsTextOutputFile out;
    // Found at the close, when the buffer is written.
    QVERIFY(out.OpenFile(folder, "full"));
    out.WriteLine("<html>");
    out.CloseFile();
    QCOMPARE(out.WriteFailure(), noSpace);
    // Found while writing, once the buffer overflows.
    QVERIFY(out.OpenFile(folder, "full"));
    QCOMPARE(out.WriteFailure(), QString());
    for (int i = 0; i < 3 && out.WriteFailure().isEmpty(); ++i)
        out.WriteLine(QByteArray(Buf / 2, 'x'));
    QCOMPARE(out.WriteFailure(), noSpace);
    out.CloseFile();
    QCOMPARE(out.WriteFailure(), noSpace);
    // The next good file starts clean.
    folder = dir.path();
    QVERIFY(out.OpenFile(folder, "fine.htm"));
    out.WriteLine("ok");
    out.CloseFile();
    QCOMPARE(out.WriteFailure(), QString());
}

void tst_TextFile::destructorFlushes() {
    QString folder = dir.path();
    {
        clsTextOutputFile out;
        QVERIFY(out.OpenFile(folder, "kept.htm"));
        out.WriteLine("a");
        out.WriteLine("b");
    }
    QCOMPARE(readFile(path("kept.htm")), QByteArray("a\r\nb\r\n"));
}

void tst_TextFile::counterOverflow() {
    constexpr qint32 max = std::numeric_limits<qint32>::max();
    QString folder = dir.path();
    clsTextFile file;
    QVERIFY(file.OpenFile(folder, "many.htm", 2));
    file.lngLinesWrote = max;
    QVERIFY_THROWS_EXCEPTION(TextFileError, file.WriteLine("last"));
    QCOMPARE(file.LinesWrote(), max);
    file.CloseFile();
    QCOMPARE(readFile(path("many.htm")), QByteArray("last\r\n"));

    writeFile(path("many.htm"), "a\nb\n");
    QVERIFY(file.OpenFile(folder, "many.htm", 1));
    file.lngLinesRead = max;
    QVERIFY_THROWS_EXCEPTION(TextFileError, file.ReadLine());
    QCOMPARE(file.LinesRead(), max);
    file.lngLinesRead = 0;
    QCOMPARE(file.ReadLine(), QByteArray("b")); // the line that overflowed is gone
}

QTEST_GUILESS_MAIN(tst_TextFile)
#include "tst_textfile.moc"
