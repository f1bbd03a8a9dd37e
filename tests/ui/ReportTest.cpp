#include "ui/Report.h"

#include "tests/support/EventLoopFixture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <string>

namespace {

// The text of a PDF as poppler's pdftotext extracts it, page breaks as form feeds.
std::string PdfText(const std::string& pdf) {
    const std::string txt = pdf + ".txt";
    const std::string command = "pdftotext -layout '" + pdf + "' '" + txt + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0)
        return {};
    std::string text;
    if (std::FILE* f = std::fopen(txt.c_str(), "rb")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            text.append(buf, n);
        std::fclose(f);
    }
    std::filesystem::remove(txt);
    return text;
}

class Report : public WidgetTest {
protected:
    void SetUp() override {
        WidgetTest::SetUp();
        if (std::system("command -v pdftotext >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "pdftotext (poppler-utils) is not installed";
        pdf_ = (std::filesystem::temp_directory_path() / ("postlark-report-" + std::to_string(::getpid()) + ".pdf")).string();
    }
    void TearDown() override { std::filesystem::remove(pdf_); }
    std::string pdf_;
};

TEST_F(Report, PrintsEachLineInOrderAndAnEmptyLineKeepsItsBand) {
    TReport report;
    report.Lines().Add("From: alice@example.org");
    report.Lines().Add("To: bob@example.org");
    report.Lines().Add("Subject: ");
    report.Lines().Add("");
    report.Lines().Add("Body line");
    EXPECT_EQ(report.PrintToPdf(pdf_), 1);
    const std::string text = PdfText(pdf_);
    const size_t from = text.find("From: alice@example.org");
    const size_t subject = text.find("Subject:");
    const size_t body = text.find("Body line");
    ASSERT_NE(from, std::string::npos) << text;
    ASSERT_NE(subject, std::string::npos) << text;
    ASSERT_NE(body, std::string::npos) << text;
    EXPECT_LT(from, subject);
    EXPECT_LT(subject, body);
}

TEST_F(Report, WrapsALongLineWithinTheMarginsWithoutLosingText) {
    std::string line;
    for (int i = 0; line.size() < 2000; ++i)
        line += "word" + std::to_string(i) + " ";
    TReport report;
    report.Lines().Add(line);
    report.PrintToPdf(pdf_);
    const std::string text = PdfText(pdf_);
    int rows = 0;
    for (char c : text)
        rows += c == '\n';
    EXPECT_GT(rows, 10) << "a 2,000-character line must wrap onto many rows";
    EXPECT_NE(text.find("word0 "), std::string::npos);
    EXPECT_NE(text.find(line.substr(line.size() - 9, 8)), std::string::npos) << "the end of the line is printed";
}

TEST_F(Report, SpreadsManyLinesOverSeveralA4Pages) {
    TReport report;
    for (int i = 1; i <= 300; ++i)
        report.Lines().Add("line " + std::to_string(i));
    const int pages = report.PrintToPdf(pdf_);
    EXPECT_GE(pages, 5); // about 46 bands of 5.56 mm fit between the margins of one page
    const std::string text = PdfText(pdf_);
    int formFeeds = 0;
    for (char c : text)
        formFeeds += c == '\f';
    EXPECT_EQ(formFeeds, pages);
    EXPECT_NE(text.find("line 300"), std::string::npos);
}

TEST_F(Report, AnEmptyReportStillHasOnePageAndNoPrinterMeansNothingPrinted) {
    TReport report;
    EXPECT_EQ(report.PrintToPdf(pdf_), 1);
    if (!TReport::HasUsablePrinter()) {
        EXPECT_FALSE(report.Print());
    }
}

} // namespace
