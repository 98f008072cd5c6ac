// What the operator sees: window preparation, frame, fixed texts, readout and
// nozzle drawing, checked cell by cell in the simulated screen buffer.
#include "console_screen/console_screen.h"

#include "harness.h"

using sim::AttrAt;
using sim::TextAt;

namespace {

const WORD kUntouched = 0x0050;

// Fills the screen with '#' in an attribute the program never uses, so that
// every cell a routine touches, and only those, can be told apart.
void MarkScreen()
{
    for (auto &row : sim::world().screen)
        for (auto &cell : row)
            cell = sim::Cell{'#', kUntouched};
}

// Cells that hold something other than the mark.
int TouchedCells()
{
    int n = 0;
    for (auto &row : sim::world().screen)
        for (auto &cell : row)
            n += (cell.ch != '#' || cell.attr != kUntouched);
    return n;
}

class ScreenTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        MarkScreen();
    }
    HANDLE out = sim::OutputHandle();
};

/* ============================== Window ============================== */

// Catches a wrong code page (è would show wrongly), chcp's message left on
// screen, a style change that drops other window bits, a wrong title.
TEST_F(ScreenTest, PrepareConsoleSetsCodePageClearsStyleAndTitle)
{
    sim::world().style = 0x00CF0000 | 0x10000000;  // overlapped + visible
    PrepareConsole();

    const std::vector<std::string> expected{"chcp 28591", "cls"};
    EXPECT_EQ(expected, sim::world().commands);
    EXPECT_EQ(28591u, sim::world().code_page);
    EXPECT_EQ(sim::kColumns * sim::kRows, TouchedCells())
        << "cls should leave every cell blank";
    EXPECT_EQ(std::string(sim::kColumns, ' '), TextAt(0, 0, sim::kColumns));
    EXPECT_EQ((0x00CF0000 & ~(0x00010000 | 0x00040000)) | 0x10000000,
              sim::world().style);
    EXPECT_EQ("Brindlemoxagon | Vador", sim::world().title);
}

// Without a console window (output redirected, say) the rest still happens.
TEST_F(ScreenTest, PrepareConsoleWithoutWindowStillSetsTitle)
{
    sim::world().has_window = false;
    const LONG before = sim::world().style;
    PrepareConsole();
    EXPECT_EQ(before, sim::world().style);
    EXPECT_EQ("Brindlemoxagon | Vador", sim::world().title);
}

/* =============================== Frame =============================== */

// The expected attribute of a frame cell, or kUntouched off the frame.
WORD FrameAttr(int column, int row, int top)
{
    const int bottom = top + 19;
    if (row == top && column == 1) return 0x0C07;
    if (row == top && column == 118) return 0x1407;
    if (row == top && column > 1 && column < 118) return 0x0407;
    if (row == bottom && column >= 1 && column <= 118) return 0x0407;
    if (row > top && row < bottom && column == 118) return 0x1007;
    if (row > top && row < bottom && column == 1) return 0x0807;
    return kUntouched;
}

// Checks every cell of the buffer against the frame's corners and edges:
// catches a missing or doubled edge, a wrong grid attribute, an edge one row
// off (the bottom line belongs to the row below the sides), or a write
// outside the frame.
class FrameTest : public ScreenTest, public ::testing::WithParamInterface<int> {};

TEST_P(FrameTest, EveryCellOfTheFrameHoldsASpaceWithItsGridAttribute)
{
    const int top = GetParam();
    DrawFrame(out, static_cast<SHORT>(top));
    for (int row = 0; row < sim::kRows; row++)
        for (int column = 0; column < sim::kColumns; column++) {
            const WORD want = FrameAttr(column, row, top);
            ASSERT_EQ(want, AttrAt(column, row)) << column << "," << row;
            ASSERT_EQ(want == kUntouched ? '#' : ' ',
                      sim::world().screen[row][column].ch)
                << column << "," << row;
        }
    EXPECT_EQ(0x0807, sim::world().attr) << "left edge is drawn last";
}

INSTANTIATE_TEST_SUITE_P(Tops, FrameTest, ::testing::Values(5, 0, 9));

TEST_F(ScreenTest, FrameCornersAtTopFive)
{
    DrawFrame(out, 5);
    EXPECT_EQ(0x0C07, AttrAt(1, 5));
    EXPECT_EQ(0x1407, AttrAt(118, 5));
    EXPECT_EQ(0x0407, AttrAt(1, 24));
    EXPECT_EQ(0x0407, AttrAt(118, 24));
    EXPECT_EQ(0x0807, AttrAt(1, 23));
    EXPECT_EQ(0x1007, AttrAt(118, 23));
}

/* ============================ Fixed texts ============================ */

struct Placed {
    int column, row;
    std::string text;
    WORD attr;
};

void ExpectPlaced(const std::vector<Placed> &items)
{
    for (const Placed &p : items) {
        const int n = static_cast<int>(p.text.size());
        EXPECT_EQ(p.text, TextAt(p.column, p.row, n)) << p.column << "," << p.row;
        for (int i = 0; i < n; i++)
            EXPECT_EQ(p.attr, AttrAt(p.column + i, p.row))
                << "cell " << p.column + i << "," << p.row;
        // The cells on either side stay as they were.
        EXPECT_EQ(kUntouched, AttrAt(p.column - 1, p.row));
        EXPECT_EQ(kUntouched, AttrAt(p.column + n, p.row));
    }
}

// Catches a moved or misspelt text, a wrong length (a stray terminating
// zero, a clipped label), the title in grey or the rest in yellow, and è
// written as anything but the single byte 0xE8.
TEST_F(ScreenTest, StartScreenTextsAtTheirPlaces)
{
    DrawStartScreen(out);
    ExpectPlaced({
        {37, 3, "Brindlemoxagon - Ziviveri Dodov Raderu", 0x0006},
        {3, 6, "Point de calibrage:        ", 0x0007},
        {3, 8, "Fl\xE8" "che haut:   monter", 0x0007},
        {3, 9, "Fl\xE8" "che bas:    descendre", 0x0007},
        {60, 7, "_______", 0x0007},
    });
    EXPECT_EQ(0xE8, sim::world().screen[8][5].ch);
    EXPECT_EQ(0xE8, sim::world().screen[9][5].ch);
    EXPECT_EQ(38 + 27 + 21 + 24 + 7, TouchedCells());
    EXPECT_EQ(0x0007, sim::world().attr);
}

TEST_F(ScreenTest, PortErrorAndBedLines)
{
    ShowPortError(out);
    DrawBed(out);
    ExpectPlaced({
        {3, 10, "Erreur:    port comm serial introuvable.", 0x0007},
        {63, 20, "_    (plateau lit ou support d'impression vador)", 0x0007},
    });
    EXPECT_EQ(40 + 48, TouchedCells());
}

// Each writer sets its own attribute: a routine called after the frame
// (which leaves grid lines set) must not draw with grid lines.
TEST_F(ScreenTest, TextsAfterTheFrameCarryNoGridLines)
{
    DrawFrame(out, 5);
    ShowPortError(out);
    DrawFrame(out, 5);
    DrawBed(out);
    DrawFrame(out, 5);
    ShowHeight(out, 1.0f);
    DrawFrame(out, 5);
    SHORT row = 7;
    AdvanceNozzleIndicator(out, &row);
    EXPECT_EQ(0x0007, AttrAt(3, 10));
    EXPECT_EQ(0x0007, AttrAt(63, 20));
    EXPECT_EQ(0x0007, AttrAt(36, 6));
    EXPECT_EQ(0x0007, AttrAt(63, 8));
}

/* ============================== Readout ============================== */

// Catches a value not in bright white, a field not blanked first (a shorter
// value would keep the tail of a longer one), and wrong rounding.
TEST_F(ScreenTest, ReadoutShowsEachValueAloneInBrightWhite)
{
    struct Case {
        float height;
        std::string shown;
    };
    const Case cases[] = {
        {200.4f, "200.400"},   {-1234.5f, "-1234.500"}, {0.001f, "0.001"},
        {-0.4f, "-0.400"},     {167.201f, "167.201"},   {99999.5f, "99999.500"},
    };
    for (const Case &c : cases) {
        ShowHeight(out, c.height);
        const int n = static_cast<int>(c.shown.size());
        EXPECT_EQ(c.shown + std::string(10 - n, ' '), Readout()) << c.shown;
        for (int i = 0; i < 10; i++)
            EXPECT_EQ(i < n ? 0x000F : 0x0007, AttrAt(31 + i, 6))
                << c.shown << " cell " << 31 + i;
        EXPECT_EQ(kUntouched, AttrAt(30, 6));
        EXPECT_EQ(kUntouched, AttrAt(41, 6));
        EXPECT_EQ(0x0007, sim::world().attr);
    }
}

/* ========================== Nozzle indicator ========================== */

// Catches an indicator that starts in the wrong row, skips or repeats a
// pair, runs into the bed line (row 20), or never comes back to the top.
TEST_F(ScreenTest, NozzleGrowsInPairsAndRestartsEverySixSteps)
{
    SHORT row = 7;
    const int first_bar[] = {8, 10, 12, 14, 16, 18, 8, 10, 12, 14, 16, 18, 8};
    for (int step = 0; step < 13; step++) {
        MarkScreen();
        AdvanceNozzleIndicator(out, &row);
        const int bar = first_bar[step];
        EXPECT_EQ("|", TextAt(63, bar, 1)) << "step " << step + 1;
        EXPECT_EQ("V", TextAt(63, bar + 1, 1)) << "step " << step + 1;
        EXPECT_EQ(bar + 1, row) << "step " << step + 1;
        EXPECT_EQ(2, TouchedCells()) << "step " << step + 1;
    }
}

TEST_F(ScreenTest, AfterSixStepsTheWholeNozzleStands)
{
    SHORT row = 7;
    for (int step = 0; step < 6; step++)
        AdvanceNozzleIndicator(out, &row);
    std::string column;
    for (int r = 7; r <= 20; r++)
        column += TextAt(63, r, 1);
    EXPECT_EQ("#|V|V|V|V|V|V#", column);
}

}  // namespace
