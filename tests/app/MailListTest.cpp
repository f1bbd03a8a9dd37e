#include "app/MailListModel.h"
#include "app/MessageIndex.h"
#include "app/UnitMain.h"
#include "ui/LogView.h"

#include "tests/app/MainWindowFixture.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QStatusBar>

#include <algorithm>

namespace {

std::unique_ptr<TMailMessage> Mail(const std::string& key, const std::string& from = "x",
                                   const std::string& uidl = {}) {
    auto m = std::make_unique<TMailMessage>();
    m->MsgId = key;
    m->Uidl = uidl;
    m->From = from;
    m->Subject = "About " + from;
    m->Date = "Tue, 1 Dec 2026";
    return m;
}

// The held-message test as a search of the whole list, last message first: the answer the
// index must give.
bool SearchedHeld(const std::vector<std::unique_ptr<TMailMessage>>& messages,
                  const std::string& key) {
    const auto sameKey = [&key](const std::string& held) {
        return held.size() == key.size() &&
               std::equal(key.begin(), key.end(), held.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) ==
                          std::tolower(static_cast<unsigned char>(b));
               });
    };
    const auto same = [&sameKey](const auto& m) { return sameKey(m->MsgId) || sameKey(m->Uidl); };
    return !key.empty() && std::any_of(messages.rbegin(), messages.rend(), same);
}

TEST(MessageIndex, CountsEachKeyAndFoldsOnlyAsciiCase) {
    TMessageIndex index;
    EXPECT_FALSE(index.Contains("a"));
    index.Add("<Id@Host>");
    index.Add("<id@host>");
    index.Add("\xC3\x84x"); // an upper-case letter outside ASCII is not folded
    index.Add("");
    EXPECT_TRUE(index.Contains("<ID@HOST>"));
    EXPECT_FALSE(index.Contains(" <id@host>"));
    EXPECT_FALSE(index.Contains("<id@host> "));
    EXPECT_TRUE(index.Contains("\xC3\x84X"));
    EXPECT_FALSE(index.Contains("\xC3\xA4x"));
    EXPECT_FALSE(index.Contains("")) << "an empty key is never held";
    EXPECT_EQ(index.KeyCount(), 3u);

    index.Remove("<ID@host>");
    EXPECT_TRUE(index.Contains("<id@host>")) << "one of two messages under the key is left";
    index.Remove("<id@HOST>");
    EXPECT_FALSE(index.Contains("<id@host>"));
    index.Remove("<id@host>"); // no longer held: ignored
    index.Remove("never added");
    EXPECT_EQ(index.KeyCount(), 2u);
    index.Add("<ID@HOST>");
    EXPECT_TRUE(index.Contains("<id@host>"));
}

TEST(LineList, ShrinkingKeepsTheLinesAndHandsTheRoomOnEmpty) {
    TLineList spare;
    for (const std::vector<std::string>& lines :
         {std::vector<std::string>{},
          {"", "a", std::string(300, 'x'), "\r\n"},
          std::vector<std::string>(500, "a line of a message")}) {
        TLineList list;
        std::swap(list, spare);
        EXPECT_EQ(list.Count(), 0) << "the room came back empty";
        for (const std::string& line : lines)
            list.Add(line);
        list.ShrinkToFit(spare);
        EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()), lines);
        EXPECT_EQ(spare.Count(), 0);
    }
}

class MailList : public MainWindowCheckTest {
protected:
    void PressDelete() {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
        QCoreApplication::sendEvent(form->clvMain, &press);
    }
    // The index answers as the search does, and the rows show the list in order.
    void ExpectConsistent(const std::string& when) {
        SCOPED_TRACE(when);
        for (const std::string probe :
             {"<a@x>", "<A@X>", " <a@x>", "uid-2", "UID-2", "", "new", "NEW ", "u-f", "<F@x>"})
            EXPECT_EQ(form->IsMessageHere(probe), SearchedHeld(form->Messages(), probe))
                << '"' << probe << '"';
        ASSERT_EQ(form->clvMain->RowCount(), static_cast<int>(form->Messages().size()));
        for (int row = 0; row < form->clvMain->RowCount(); ++row)
            EXPECT_EQ(form->clvMain->RowText(row, 0).toStdString(),
                      form->Messages()[static_cast<size_t>(row)]->From);
    }
    void DeleteRowOf(const std::string& from) {
        const auto& held = form->Messages();
        const auto it = std::find_if(held.begin(), held.end(),
                                     [&from](const auto& m) { return m->From == from; });
        ASSERT_NE(it, held.end()) << from;
        form->clvMain->SelectRow(static_cast<int>(it - held.begin()));
        PressDelete();
    }
};

TEST_F(MailList, IndexAndRowsFollowAppendsDeletesAndDuplicates) {
    ExpectConsistent("empty list");
    form->AppendMessage(Mail("<A@x>", "ada"));
    form->AppendMessage(Mail("uid-2", "bob"));
    form->AppendMessage(Mail("UID-2", "cy"));
    form->AppendMessage(Mail("", "dee"));
    form->AppendMessage(Mail("", "eve"));
    form->AppendMessage(Mail("<f@x>", "fay", "U-F"));
    ExpectConsistent("appended");
    EXPECT_TRUE(form->IsMessageHere("u-f"));
    EXPECT_TRUE(form->IsMessageHere("Uid-2"));
    EXPECT_FALSE(form->IsMessageHere(""));

    DeleteRowOf("bob");
    ExpectConsistent("one of two duplicates deleted");
    EXPECT_TRUE(form->IsMessageHere("uid-2"));
    DeleteRowOf("cy");
    ExpectConsistent("both duplicates deleted");
    EXPECT_FALSE(form->IsMessageHere("uid-2"));
    DeleteRowOf("dee");
    ExpectConsistent("an empty key deleted");
    DeleteRowOf("ada");
    ExpectConsistent("a key deleted");
    DeleteRowOf("fay");
    ExpectConsistent("a message held under two keys deleted");
    EXPECT_FALSE(form->IsMessageHere("u-f"));
    EXPECT_FALSE(form->IsMessageHere("<a@x>"));

    form->AppendMessage(Mail("<a@X>", "ada again"));
    ExpectConsistent("a deleted key received again");
    EXPECT_TRUE(form->IsMessageHere("<A@x>"));
    ASSERT_EQ(form->clvMain->RowCount(), 2);
    EXPECT_EQ(form->clvMain->RowText(1, 0), "ada again");

    PressDelete(); // the selection went with its row: nothing is deleted
    EXPECT_EQ(form->Messages().size(), 2u);
}

TEST_F(MailList, RowsArriveInBatchesWhileTheListIsCompleteAtOnce) {
    int batches = 0;
    QObject::connect(form->clvMain->model(), &QAbstractItemModel::rowsInserted,
                     [&batches] { ++batches; });
    const int count = 2000;
    for (int i = 0; i < count; ++i)
        form->AppendMessage(Mail("id-" + std::to_string(i)));
    EXPECT_EQ(form->Messages().size(), static_cast<size_t>(count));
    EXPECT_TRUE(form->IsMessageHere("ID-1999"));
    EXPECT_EQ(form->clvMain->model()->rowCount(), 1) << "the first row shows at once";
    ASSERT_TRUE(PumpUntil([&] { return form->clvMain->model()->rowCount() == count; }, 2000));
    EXPECT_EQ(batches, 2);

    // A row deleted while later rows wait for their batch keeps the rows in step.
    form->AppendMessage(Mail("late-1", "late 1"));
    form->AppendMessage(Mail("late-2", "late 2"));
    form->clvMain->SelectRow(0);
    const int before = form->clvMain->model()->rowCount();
    PressDelete();
    EXPECT_EQ(form->Messages().size(), static_cast<size_t>(count + 1));
    EXPECT_LE(form->clvMain->model()->rowCount(), before);
    ExpectConsistent("after a delete between batches");
    EXPECT_EQ(form->clvMain->RowText(count, 0), "late 2");
}

TEST_F(MailList, EveryLogLineIsKeptWhileTheLogIsDrawnInBatches) {
    for (int i = 0; i < 500; ++i)
        form->AppendLog(QStringLiteral("line %1").arg(i));
    EXPECT_EQ(form->DisplayMemo->LineCount(), 1u) << "a first line shows at once";
    form->SetStatusText("Retr ok");
    form->SetStatusText("Delete ok");
    EXPECT_EQ(form->StatusText(), "Delete ok");
    const QStringList lines = form->LogText().split('\n');
    ASSERT_EQ(lines.size(), 500);
    EXPECT_EQ(lines.back(), "line 499");
    EXPECT_EQ(form->DisplayMemo->LineCount(), 500u);
    ASSERT_TRUE(PumpUntil([&] { return form->InfoBar->currentMessage() == "Delete ok"; }, 1000));

    form->AppendLog("before clear");
    form->AppendLog("also before clear");
    form->btnClearClick();
    PumpFor(80);
    EXPECT_EQ(form->LogText(), "");
}

} // namespace
