// Runs a fuzz entry point over every file of the folders named on the command line, as
// libFuzzer does with a corpus, for builds without libFuzzer. A failed check in the entry
// point aborts the process; a run that read no input fails as well.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char *argv[])
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const QDir folder(QFile::decodeName(argv[i]));
        const QFileInfoList files = folder.entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo &info : files) {
            QFile file(info.filePath());
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "Cannot read %s\n", qPrintable(info.filePath()));
                return 1;
            }
            const QByteArray input = file.readAll();
            std::printf("%s\n", qPrintable(info.filePath()));
            std::fflush(stdout);
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(input.constData()),
                                   static_cast<std::size_t>(input.size()));
            ++replayed;
        }
    }
    std::printf("Replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
