// app_settings_linearity: start (load), one journal tick and end (save) of the main window with
// a settings file of N journal entries, for N = 5,000 and 50,000. Linear work costs about ten
// times as much for ten times the entries; work that rescanned or rewrote the file per entry
// would cost a hundred times as much. Prints the best of three runs of each step.
#include "app/UnitMain.h"

#include <QApplication>
#include <QListWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Half one-time moments far ahead, half weekly times that do not fire on the bench's Monday.
void WriteSettings(const std::string& path, int entries) {
    std::ofstream out(path, std::ios::binary);
    out << "[Options]\nPop3HostName=127.0.0.1\n[Journal]\n";
    for (int i = 0; i < entries; ++i) {
        if (i % 2 == 0)
            out << i << "=2099-01-" << (10 + i % 19) << " 10:" << (10 + i % 50) << ":00\n";
        else
            out << i << "=23:" << (10 + i % 50) << ":" << (10 + i % 50) << ";Sunday\n";
    }
}

struct TTimes {
    double load = 1e9, tick = 1e9, save = 1e9;
};

TTimes Measure(int entries) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/postlark.ini";
    TfrmMain::OverrideSettingsFile(path);
    TTimes best;
    for (int run = 0; run < 3; ++run) {
        WriteSettings(path, entries);
        auto start = Clock::now();
        auto form = std::make_unique<TfrmMain>();
        best.load = std::min(best.load, Since(start));
        if (form->ListBoxJournal->count() != entries) std::fprintf(stderr, "entries lost\n");
        start = Clock::now();
        form->TimerJournal.Tick();
        best.tick = std::min(best.tick, Since(start));
        start = Clock::now();
        form.reset();
        best.save = std::min(best.save, Since(start));
    }
    TfrmMain::OverrideSettingsFile({});
    return best;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TfrmMain::SetClockForTests([] { return QDateTime(QDate(2026, 6, 1), QTime(12, 0)); });
    const TTimes small = Measure(5000);
    const TTimes large = Measure(50000);
    std::printf("%-8s %12s %12s %8s\n", "step", "5,000 (s)", "50,000 (s)", "ratio");
    const auto row = [](const char* name, double a, double b) {
        std::printf("%-8s %12.4f %12.4f %8.1f\n", name, a, b, b / a);
    };
    row("load", small.load, large.load);
    row("tick", small.tick, large.tick);
    row("save", small.save, large.save);
    return 0;
}
