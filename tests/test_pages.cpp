// The property pages driven as a property-page host and a user drive them, on several selected
// controls at design time; the widget layouts of the pages and the About dialog.
#include <gtest/gtest.h>

#include <set>

#include "control/automation.h"
#include "control/errors.h"
#include "pages/about_dialog.h"
#include "pages/property_pages.h"
#include "tests/fakes/harness.h"

namespace varnel::testing {
namespace {

using namespace pages;
using Notes = std::vector<std::string>;

// Several controls placed on a form in the designer.
struct Selection {
    std::vector<std::unique_ptr<Harness>> controls;

    explicit Selection(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            controls.push_back(std::make_unique<Harness>());
            controls.back()->container.userMode = false;
        }
    }
    Varnel& operator[](std::size_t i) { return *controls[i]->ctl; }
    Harness& H(std::size_t i) { return *controls[i]; }
    void SelectInto(PropertyPage& page) {
        for (auto& c : controls)
            page.SelectedControls.push_back(c->ctl.get());
    }
    std::vector<std::int16_t> Ports() {
        std::vector<std::int16_t> out;
        for (auto& c : controls)
            out.push_back(c->ctl->CommPort());
        return out;
    }
    void ClearRecords() {
        for (auto& c : controls) {
            c->comm->accesses.clear();
            c->container.notifications.clear();
        }
    }
};

// --- CommPort ---

TEST(CommPortPageTest, ShowsTheFirstControlAndAppliesToAll) {
    Selection sel(2);
    sel[0].SetCommPort(1);
    sel[1].SetCommPort(3);
    sel.ClearRecords();
    CommPortPage page;
    int statusChanges = 0;
    page.onStatusChange = [&] { ++statusChanges; };
    sel.SelectInto(page);
    page.SelectionChanged();
    EXPECT_EQ(page.txtCommPort.Text(), "1");
    EXPECT_TRUE(page.Changed());  // the load changed the empty text box
    EXPECT_EQ(statusChanges, 1);

    page.txtCommPort.SetText("4");
    page.ApplyChanges();
    EXPECT_EQ(sel.Ports(), (std::vector<std::int16_t>{4, 4}));
    EXPECT_EQ(sel.H(1).container.notifications, (Notes{"CommPort"}));
}

TEST(CommPortPageTest, NegativeAndMultiDigitPortsShowAsPlainDigits) {
    Selection sel(1);
    sel.H(0).comm->SetCommPort(-12);
    CommPortPage page;
    sel.SelectInto(page);
    page.SelectionChanged();
    EXPECT_EQ(page.txtCommPort.Text(), "-12");
}

TEST(CommPortPageTest, TextConversionAllowsBlanksAndRoundsHalfToEven) {
    struct Case {
        const char* text;
        std::int16_t port;
    };
    const Case cases[] = {{" 2 ", 2},  {"2.5", 2},        {"3.5", 4},       {"\t7\t", 7},
                          {"+9", 9},   {"1e1", 10},       {"32767", 32767}, {"-0.5", 0},
                          {"4.49", 4}, {"-32768", -32768}};
    for (const Case& c : cases) {
        Selection sel(2);
        CommPortPage page;
        sel.SelectInto(page);
        page.SelectionChanged();
        page.txtCommPort.SetText(c.text);
        page.ApplyChanges();
        EXPECT_EQ(sel.Ports(), (std::vector<std::int16_t>{c.port, c.port})) << c.text;
    }
}

TEST(CommPortPageTest, ABadTextChangesNoControl) {
    struct Case {
        const char* text;
        std::int32_t error;
    };
    const Case cases[] = {{"", err::kTypeMismatch},     {"COM1", err::kTypeMismatch},
                          {"40000", err::kOverflow},    {"-32769", err::kOverflow},
                          {"1e400", err::kOverflow},    {"True", err::kTypeMismatch},
                          {"3 4", err::kTypeMismatch},  {"   ", err::kTypeMismatch},
                          {"0x10", err::kTypeMismatch}, {"32767.5", err::kOverflow}};
    for (const Case& c : cases) {
        Selection sel(3);
        sel[1].SetCommPort(5);
        CommPortPage page;
        sel.SelectInto(page);
        page.SelectionChanged();
        sel.ClearRecords();
        page.txtCommPort.SetText(c.text);
        EXPECT_EQ(ErrorOf([&] { page.ApplyChanges(); }), c.error) << c.text;
        EXPECT_EQ(sel.Ports(), (std::vector<std::int16_t>{1, 5, 1})) << c.text;
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(sel.H(i).comm->Writes().empty());
            EXPECT_TRUE(sel.H(i).container.notifications.empty());
        }
    }
}

TEST(CommPortPageTest, ASetterFailingAtTheKthControlKeepsEarlierOnesAndSkipsLaterOnes) {
    Selection sel(3);
    sel.H(1).comm->Fail("set CommPort", comm::kErrInvalidPortNumber);
    CommPortPage page;
    sel.SelectInto(page);
    page.SelectionChanged();
    sel.ClearRecords();
    page.txtCommPort.SetText("6");
    EXPECT_EQ(ErrorOf([&] { page.ApplyChanges(); }), comm::kErrInvalidPortNumber);
    EXPECT_EQ(sel.Ports(), (std::vector<std::int16_t>{6, 1, 1}));
    EXPECT_EQ(sel.H(2).comm->Writes(), Notes{});
    EXPECT_TRUE(page.Changed());
}

TEST(CommPortPageTest, TypingMarksThePageChangedWithoutValidating) {
    CommPortPage page;
    EXPECT_FALSE(page.Changed());
    EXPECT_EQ(page.txtCommPort.Text(), "");
    page.txtCommPort.SetText("not yet a number");
    EXPECT_TRUE(page.Changed());
}

// --- Notify ---

TEST(NotifyPageTest, LoadingVnChangedSelectsItAndAnApplyWritesItBack) {
    Selection sel(3);
    sel[0].SetWtNotification(vnChanged);
    NotifyPage page;
    sel.SelectInto(page);
    page.SelectionChanged();
    EXPECT_EQ(page.optNotify.Selected(), 1);
    EXPECT_TRUE(page.Changed());
    page.ApplyChanges();
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(sel[i].WtNotification(), vnChanged);
}

TEST(NotifyPageTest, ChoosingEveryTimeWritesZeroToEveryControl) {
    Selection sel(3);
    for (std::size_t i = 0; i < 3; ++i)
        sel[i].SetWtNotification(static_cast<VN_NOTIFY_ENUM>(1));
    sel[2].SetWtNotification(static_cast<VN_NOTIFY_ENUM>(7));
    NotifyPage page;
    sel.SelectInto(page);
    page.SelectionChanged();
    page.optNotify.Select(0);
    page.ApplyChanges();
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(sel[i].WtNotification(), vnEverytime);
}

TEST(NotifyPageTest, LoadingVnEverytimeIntoANewPageChangesNothing) {
    Selection sel(1);
    NotifyPage page;
    sel.SelectInto(page);
    page.SelectionChanged();
    EXPECT_EQ(page.optNotify.Selected(), 0);
    EXPECT_FALSE(page.Changed());
}

// --- Units ---

TEST(UnitsPageTest, LoadingGramsSelectsItAndSetsTheIndex) {
    Selection sel(2);
    sel[0].SetNetWtUnits(vnGrams);
    UnitsPage page;
    sel.SelectInto(page);
    page.SelectionChanged();
    EXPECT_EQ(page.optUnits.Selected(), 2);
    EXPECT_EQ(page.m_UnitsIndex, 2);
    EXPECT_TRUE(page.Changed());
    page.ApplyChanges();
    EXPECT_EQ(sel[1].NetWtUnits(), vnGrams);
}

TEST(UnitsPageTest, LoadingPoundsIntoANewPageKeepsIndexZeroAndAppliesPounds) {
    Selection sel(2);
    sel[1].SetNetWtUnits(vnOunces);
    UnitsPage page;
    sel.SelectInto(page);
    page.SelectionChanged();
    EXPECT_EQ(page.optUnits.Selected(), 0);
    EXPECT_EQ(page.m_UnitsIndex, 0);
    EXPECT_FALSE(page.Changed());
    page.ApplyChanges();
    EXPECT_EQ(sel[1].NetWtUnits(), vnPounds);
}

TEST(UnitsPageTest, OuncesThenAClickOnPoundsAppliesPoundsToAll) {
    Selection sel(3);
    for (std::size_t i = 0; i < 3; ++i)
        sel[i].SetNetWtUnits(vnOunces);
    UnitsPage page;
    sel.SelectInto(page);
    page.SelectionChanged();
    EXPECT_EQ(page.m_UnitsIndex, 3);
    page.optUnits.Select(0);
    EXPECT_EQ(page.m_UnitsIndex, 0);
    page.ApplyChanges();
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(sel[i].NetWtUnits(), vnPounds);
}

TEST(UnitsPageTest, ApplyWritesTheRememberedIndexNotTheButtons) {
    Selection sel(1);
    UnitsPage page;
    sel.SelectInto(page);
    page.SelectionChanged();
    page.optUnits.Select(1);
    page.m_UnitsIndex = 3;  // as if the last click had been on another option
    page.ApplyChanges();
    EXPECT_EQ(sel[0].NetWtUnits(), vnOunces);
}

TEST(UnitsPageTest, ApplyInRunModeUnderVnChangedReportsTheNewWeight) {
    Selection sel(2);
    for (std::size_t i = 0; i < 2; ++i) {
        sel.H(i).container.userMode = true;
        sel[i].SetWtNotification(vnChanged);
    }
    UnitsPage page;
    sel.SelectInto(page);
    page.SelectionChanged();
    page.optUnits.Select(1);
    page.ApplyChanges();
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_EQ(sel.H(i).EventCodes(), std::vector<std::int16_t>{1});
}

// --- Failed loads ---

TEST(PageLoadTest, NoSelectionOrAValueWithoutAnOptionLeavesTheWidgetsAsTheyWere) {
    {
        CommPortPage page;
        EXPECT_EQ(ErrorOf([&] { page.SelectionChanged(); }), err::kSubscriptOutOfRange);
        EXPECT_EQ(page.txtCommPort.Text(), "");
        EXPECT_FALSE(page.Changed());
    }
    struct Case {
        std::int32_t notify, units;
        std::int32_t error;
    };
    const Case cases[] = {{7, 4, err::kNoSuchControlArrayElement},
                          {-1, -1, err::kNoSuchControlArrayElement},
                          {70000, 70000, err::kOverflow}};
    for (const Case& c : cases) {
        Selection sel(1);
        sel[0].SetWtNotification(static_cast<VN_NOTIFY_ENUM>(c.notify));
        sel[0].SetNetWtUnits(static_cast<VN_UOM_ENUM>(c.units));
        NotifyPage notify;
        UnitsPage units;
        units.optUnits.Select(2);
        units.SetChanged(false);
        sel.SelectInto(notify);
        sel.SelectInto(units);
        EXPECT_EQ(ErrorOf([&] { notify.SelectionChanged(); }), c.error);
        EXPECT_EQ(ErrorOf([&] { units.SelectionChanged(); }), c.error);
        EXPECT_EQ(notify.optNotify.Selected(), 0);
        EXPECT_FALSE(notify.Changed());
        EXPECT_EQ(units.optUnits.Selected(), 2);
        EXPECT_EQ(units.m_UnitsIndex, 2);
        EXPECT_FALSE(units.Changed());
    }
}

TEST(PageLoadTest, AnEmptySlotInTheSelectionFailsTheApplyThere) {
    Selection sel(1);
    NotifyPage page;
    page.SelectedControls = {&sel[0], nullptr};
    page.SelectionChanged();
    page.optNotify.Select(1);
    EXPECT_EQ(ErrorOf([&] { page.ApplyChanges(); }), err::kObjectNotSet);
    EXPECT_EQ(sel[0].WtNotification(), vnChanged);
}

// --- Layouts ---

void CheckLayout(std::span<const WidgetDef> layout, int width, int height, int tabs) {
    std::set<int> seen;
    for (const WidgetDef& w : layout) {
        SCOPED_TRACE(std::string(w.name) + "(" + std::to_string(w.index) + ")");
        int right = width, bottom = height;
        if (w.parent) {
            const WidgetDef* frame = FindWidget(layout, w.parent);
            ASSERT_NE(frame, nullptr);
            EXPECT_EQ(frame->kind, WidgetKind::Frame);
            right = frame->width;
            bottom = frame->height;
        }
        EXPECT_GE(w.left, 0);
        EXPECT_GE(w.top, 0);
        EXPECT_LE(w.left + w.width, right);
        EXPECT_LE(w.top + w.height, bottom);
        if (w.tab >= 0) {
            EXPECT_TRUE(seen.insert(w.tab).second) << "tab " << w.tab << " used twice";
        }
    }
    EXPECT_EQ(static_cast<int>(seen.size()), tabs);
    if (!seen.empty()) {
        EXPECT_EQ(*seen.begin(), 0);
        EXPECT_EQ(*seen.rbegin(), tabs - 1);
    }
}

TEST(LayoutTest, PagesFollowThePageListAndFitTheirClientArea) {
    const int tabs[] = {2, 4, 6};
    for (std::size_t i = 0; i < automation::kPages.size(); ++i) {
        auto page = CreatePage(automation::kPages[i].name);
        ASSERT_NE(page, nullptr);
        EXPECT_STREQ(page->Name(), automation::kPages[i].name);
        CheckLayout(page->Layout(), PropertyPage::kClientWidth, PropertyPage::kClientHeight,
                    tabs[i]);
    }
    EXPECT_EQ(CreatePage("Surface"), nullptr);
    EXPECT_STREQ(NotifyPage().Property(), "WtNotification");
    EXPECT_STREQ(UnitsPage().Property(), "NetWtUnits");
}

TEST(LayoutTest, OptionCaptionsStandForTheirEnumValues) {
    UnitsPage units;
    NotifyPage notify;
    const char* unitCaptions[] = {"Pounds", "Kilograms", "Grams", "Ounces"};
    for (int i = 0; i < 4; ++i)
        EXPECT_STREQ(FindWidget(units.Layout(), "optUnits", i)->caption, unitCaptions[i]);
    EXPECT_STREQ(FindWidget(notify.Layout(), "optNotify", 0)->caption,
                 "Every time a weight is received from the scale.");
    EXPECT_STREQ(FindWidget(notify.Layout(), "optNotify", 1)->caption,
                 "Only when the weight value changes.");
    // Two by two: Pounds above Kilograms on the left, Ounces above Grams on the right.
    auto at = [&](int i) { return FindWidget(units.Layout(), "optUnits", i); };
    EXPECT_EQ(at(0)->left, at(1)->left);
    EXPECT_LT(at(0)->top, at(1)->top);
    EXPECT_EQ(at(3)->left, at(2)->left);
    EXPECT_LT(at(3)->top, at(2)->top);
    EXPECT_EQ(at(0)->top, at(3)->top);
    EXPECT_LT(at(0)->left, at(3)->left);
}

TEST(LayoutTest, AboutDialogFitsAndReadsAsOneLine) {
    CheckLayout(AboutDialog::Layout(), AboutDialog::kClientWidth, AboutDialog::kClientHeight, 10);
    const WidgetDef* product = FindWidget(AboutDialog::Layout(), "Label2");
    const WidgetDef* version = FindWidget(AboutDialog::Layout(), "lblVersion");
    EXPECT_EQ(product->top, version->top);
    EXPECT_GT(version->left, product->left + product->width);
    EXPECT_LT(version->left, product->left + product->width + 100);
    EXPECT_STREQ(version->caption, "ver");
    EXPECT_EQ(version->foreColor, kDarkRed);
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(FindWidget(AboutDialog::Layout(), "lblCompany", i), nullptr);
    EXPECT_STREQ(FindWidget(AboutDialog::Layout(), "Label3")->caption,
                 "Serial communications interface to: ");
}

TEST(AboutDialogTest, FormLoadFillsTheVersionOncePerInstance) {
    RecordingContainer container;
    container.version = {3, 10, 0, 0};
    AboutDialog d(container);
    EXPECT_EQ(d.CaptionOf("lblVersion"), "ver");
    d.Load();
    container.version = {4, 0, 0, 0};
    d.Load();  // already loaded: Form_Load does not run again
    EXPECT_EQ(d.CaptionOf("lblVersion"), "(3.10)");
    EXPECT_EQ(d.LoadCount(), 1);
    int unloads = 0;
    d.onUnload = [&] { ++unloads; };
    d.cmdClose_Click();
    d.CloseBox_Click();
    EXPECT_EQ(unloads, 1);
    EXPECT_EQ(d.CaptionOf("cmdClose"), "Close");
}

}  // namespace
}  // namespace varnel::testing
