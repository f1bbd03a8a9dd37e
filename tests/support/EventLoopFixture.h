#pragma once

#include <gtest/gtest.h>

#include <functional>

// Makes sure a QCoreApplication exists (one per test process).
void EnsureApplication();
// Makes sure a QApplication exists, for suites that use widgets, fonts or printing. Call it
// before anything creates the plain QCoreApplication; the offscreen platform is used unless
// QT_QPA_PLATFORM says otherwise.
void EnsureWidgetApplication();

// Pumps the event loop until predicate() holds or timeoutMs passes; returns predicate().
bool PumpUntil(const std::function<bool()>& predicate, int timeoutMs = 5000);

// Pumps the event loop for about ms milliseconds, e.g. to show that nothing more happens.
void PumpFor(int ms);

// CPU time the whole process has used so far, in seconds, to show that a wait sleeps.
double ProcessCpuSeconds();

class EventLoopTest : public ::testing::Test {
protected:
    void SetUp() override { EnsureApplication(); }
};

class WidgetTest : public ::testing::Test {
protected:
    void SetUp() override { EnsureWidgetApplication(); }
};
