#include "ui/Component.h"
#include "ui/Exceptions.h"
#include "ui/Streams.h"
#include "ui/StringList.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

struct Recorder : TComponent {
    using TComponent::TComponent;
    std::vector<std::pair<TComponent*, TOperation>> seen;
    void Notification(TComponent* c, TOperation op) override { seen.emplace_back(c, op); }
};

TEST(Component, OwnerHearsOfInsertAndRemovalButNotDuringItsOwnDestruction) {
    Recorder owner;
    TComponent* first = nullptr;
    {
        TComponent child(&owner);
        first = &child;
        EXPECT_EQ(child.Owner(), &owner);
        EXPECT_EQ(owner.ComponentCount(), 1);
    }
    ASSERT_EQ(owner.seen.size(), 2u);
    EXPECT_EQ(owner.seen[0], std::make_pair(first, opInsert));
    EXPECT_EQ(owner.seen[1], std::make_pair(first, opRemove));
    EXPECT_EQ(owner.ComponentCount(), 0);


    Recorder dying;
    auto child = std::make_unique<TComponent>(&dying);
    dying.Destroying();
    child.reset();
    EXPECT_EQ(dying.seen.size(), 1u) << "no removal notice while the owner is being destroyed";
}

TEST(Component, AChildOutlivingItsOwnerLosesTheOwner) {
    auto owner = std::make_unique<TComponent>(nullptr);
    auto child = std::make_unique<TComponent>(owner.get());
    owner.reset();
    EXPECT_EQ(child->Owner(), nullptr);
}

POSTLARK_DECLARE_EXCEPTION(ETestError, Exception);

TEST(Exceptions, CarryTheirMessageAndTheirOwnClassName) {
    try {
        throw ETestError("boom");
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "boom");
        EXPECT_STREQ(e.what(), "boom");
        EXPECT_STREQ(e.ClassName(), "ETestError");
    }
}

TEST(MemoryStream, WritesReadsSeeksAndGrowsPastGaps) {
    TMemoryStream s;
    s.WriteString("hello");
    EXPECT_EQ(s.Size(), 5);
    s.SetPosition(8);
    s.WriteString("!");
    EXPECT_EQ(s.Size(), 9);
    s.SetPosition(0);
    char buf[16] = {};
    EXPECT_EQ(s.Read(buf, sizeof buf), 9);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(s.Read(buf, 4), 0);
    EXPECT_THROW(s.ReadBuffer(buf, 1), EStreamError);
    EXPECT_THROW(s.Seek(-1, soBeginning), EStreamError);
    s.SetSize(2);
    EXPECT_EQ(s.Position(), 2);
    EXPECT_EQ(s.DataString(), "he");
}

TEST(FileStream, RoundTripsThroughAFileAndReportsAMissingOne) {
    const auto path = std::filesystem::temp_directory_path() / "postlark-stream-test.bin";
    {
        TMemoryStream out;
        out.WriteString(std::string("a\0b", 3));
        out.SaveToFile(path.string());
    }
    TMemoryStream in;
    in.LoadFromFile(path.string());
    EXPECT_EQ(in.DataString(), std::string("a\0b", 3));
    std::filesystem::remove(path);
    EXPECT_THROW(TFileStream(path.string(), fmOpenRead), EFOpenError);
}

TEST(StringList, SplitsTextOnLineEndsAndJoinsWithCrLf) {
    TStringList list;
    list.SetText("one\r\ntwo\nthree");
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list[1], "two");
    EXPECT_EQ(list.Text(), "one\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(list.IndexOf("three"), 2);
    list.Delete(0);
    list.Insert(0, "zero");
    EXPECT_EQ(list[0], "zero");
    EXPECT_THROW(list.Delete(5), std::out_of_range);
    list.SetText("");
    EXPECT_TRUE(list.Empty());
}

} // namespace
