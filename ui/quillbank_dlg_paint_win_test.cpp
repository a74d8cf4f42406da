// What the installer window shows in each state and language, read back from the screen and
// compared with the background picture plus each element drawn where it belongs. Saves a PNG
// screenshot of every state in every language.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "base/resources.h"
#include "core/install_context.h"
#include "core/message_text.h"
#include "ui/drawing_objects.h"
#include "ui/quillbank_dlg.h"
#include "ui/testing/test_capture.h"
#include "ui/testing/test_dlg_script.h"

namespace {

constexpr UINT kCaptionFormat = DT_CENTER | DT_BOTTOM | DT_NOPREFIX;
constexpr UINT kPercentFormat = DT_RIGHT | DT_BOTTOM | DT_NOPREFIX;
constexpr UINT kStatusFormat = DT_RIGHT | DT_BOTTOM;
constexpr RECT kButton = {198, 240, 262, 265};
constexpr RECT kStatus = {193, 290, 453, 315};
constexpr RECT kProductName = {238, 26, 438, 60};
// Around the button, down to the progress bar's top.
constexpr RECT kButtonArea = {190, 232, 270, 268};
constexpr RECT kCloseGlyphArea = {440, 0, 463, 24};
constexpr RECT kStatusArea = {150, 284, 463, 320};

struct Language {
  const char* name;  // in screenshot file names
  int32_t id;
  const char* product_name;  // GBK
  const wchar_t* install;
  const wchar_t* install_fail;
  const wchar_t* open;
  const wchar_t* reconnecting;
};

const Language kLanguages[] = {
    {"en", 0x0409, "quillbank ix", L"Install", L"Install Fail", L"Open", L"Reconnecting"},
    {"zh_CN", 0x0804, "\xE1\xB0\xD6\xDB ix", L"\u5B89\u88C5", L"\u5B89\u88C5\u5931\u8D25",
     L"\u6253\u5F00", L"\u6B63\u5728\u91CD\u65B0\u8FDE\u63A5"},
    {"zh_TW", 0x0404, "\x8D\xB9\xD6\xDB ix", L"\u5B89\u88DD", L"\u5B89\u88DD\u5931\u6557",
     L"\u6253\u958B", L"\u6B63\u5728\u91CD\u65B0\u9023\u7DDA"},
};

std::wstring FromGbk(const char* text) {
  wchar_t buffer[260] = {};
  MultiByteToWideChar(936, 0, text, -1, buffer, 260);
  return buffer;
}

// Every character of `text` has a glyph in `font` (no boxes for missing CJK fonts).
bool FontCovers(HFONT font, const std::wstring& text) {
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ previous = SelectObject(dc, font);
  std::basic_string<WORD> glyphs(text.size(), 0);
  GetGlyphIndicesW(dc, text.c_str(), static_cast<int>(text.size()), glyphs.data(),
                   GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(dc, previous);
  DeleteDC(dc);
  return glyphs.find(0xFFFF) == std::basic_string<WORD>::npos;
}

RECT Shifted(RECT rect, int dy) {
  OffsetRect(&rect, 0, dy);
  return rect;
}

class InstallerWindowPaint : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UsePrivateDesktop();
    CreateDrawingObjects();
    HBITMAP handle = LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(103));
    picture_ = ReadBitmap(handle);
    DeleteObject(handle);
  }
  static void TearDownTestSuite() { DeleteDrawingObjects(); }

  void SetUp() override {
    ASSERT_EQ(picture_.width, 467);
    UseLanguage(kLanguages[0]);
  }

  void UseLanguage(const Language& language) {
    context_ = TestWindowContext(language.id, language.product_name);
    context_.PackageNumber = LoadPackageNumberString();
  }

  static Image Shoot(TQuillbankDlg& dlg, const std::string& file) {
    const Image shot = CaptureWindow(dlg.Handle());
    if (!file.empty()) {
      EXPECT_TRUE(SavePng(shot, ScreenshotDir() + "/" + file)) << file;
    }
    return shot;
  }

  // The button as it should look: frame and caption over the picture.
  static Image ExpectedButton(const std::wstring& caption, bool hover) {
    const Image framed =
        FrameOver(picture_, kButton, hover ? kButtonFrameHoverColour : kButtonFrameColour);
    return DrawTextOver(framed, BodyFont, 0xE7E7E7, Shifted(kButton, hover ? 2 : 1), caption,
                        kCaptionFormat);
  }

  static Image ExpectedStatus(const std::wstring& text, UINT format) {
    return DrawTextOver(picture_, BodyFont, 0xE7E7E7, kStatus, text, format);
  }

  // "100201" at the bottom left, its measured width plus 10 pixels from the left edge.
  static Image PackageNumber() {
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, BodyFont);
    SIZE extent = {};
    GetTextExtentPoint32A(dc, "100201", 6, &extent);
    SelectObject(dc, previous);
    DeleteDC(dc);
    return DrawTextOver(picture_, BodyFont, 0xE7E7E7, {0, 290, extent.cx + 10, 315}, L"100201",
                        DT_BOTTOM | DT_RIGHT | DT_SINGLELINE | DT_NOPREFIX);
  }

  static void ExpectCloseGlyph(const Image& shot, bool shown) {
    if (!shown) {
      EXPECT_EQ(CountDifferences(shot, picture_, kCloseGlyphArea), 0) << "close glyph drawn";
      return;
    }
    for (POINT p : {POINT{447, 8}, POINT{451, 12}, POINT{455, 16}, POINT{447, 16}, POINT{455, 8}}) {
      EXPECT_EQ(shot.At(p.x, p.y), 0x969696u) << p.x << "," << p.y;
    }
  }

  static void ExpectNoButton(const Image& shot) {
    EXPECT_EQ(CountDifferences(shot, picture_, kButtonArea), 0) << "button drawn";
  }

  static void ExpectNoProgressBar(const Image& shot) {
    EXPECT_EQ(CountDifferences(shot, picture_, kProgressBarRect), 0) << "progress bar shown";
  }

  static Image picture_;
  ScriptController controller_;
  InstallContext context_;
};

Image InstallerWindowPaint::picture_;

TEST_F(InstallerWindowPaint, ShowsEveryStateInEveryLanguage) {
  for (const Language& language : kLanguages) {
    SCOPED_TRACE(language.name);
    UseLanguage(language);
    EXPECT_TRUE(FontCovers(BodyFont, language.install_fail)) << "no CJK font for BodyFont";
    EXPECT_TRUE(FontCovers(TitleFont, FromGbk(language.product_name))) << "no CJK font";
    const std::string suffix = std::string("-") + language.name + ".png";

    ScriptController controller;
    RunDlgScript(controller, [&](TQuillbankDlg& dlg) {
      MoveCursorTo(dlg.Handle(), 100, 150);  // not over the button
      // Ready: product name, package number, the button "Install", the close glyph.
      Image shot = Shoot(dlg, "installer-ready" + suffix);
      EXPECT_EQ(shot.At(198, 240), kButtonFrameColour);
      EXPECT_EQ(shot.At(261, 264), kButtonFrameColour);
      EXPECT_EQ(CountDifferences(shot, ExpectedButton(language.install, false), kButtonArea), 0);
      const Image name = DrawTextOver(picture_, TitleFont, 0xE7E7E7, kProductName,
                                      FromGbk(language.product_name),
                                      DT_RIGHT | DT_SINGLELINE | DT_NOPREFIX);
      EXPECT_EQ(CountDifferences(shot, name, {180, 20, 440, 66}), 0);
      EXPECT_GT(CountDifferences(picture_, name, kProductName), 50);
      EXPECT_EQ(CountDifferences(shot, PackageNumber(), {0, 284, 190, 320}), 0);
      ExpectCloseGlyph(shot, true);
      ExpectNoProgressBar(shot);
      EXPECT_EQ(CountDifferences(shot, picture_, kStatus), 0);

      // Installing, 3 of 4 files: "74%" and the progress bar; no button, no close glyph.
      dlg.SetFilesTotal(4);
      dlg.SetFilesDone(3);
      dlg.SetState(WindowState::Installing);
      shot = Shoot(dlg, "installer-installing" + suffix);
      EXPECT_EQ(CountDifferences(shot, ExpectedStatus(L"74%", kPercentFormat), kStatusArea), 0);
      ExpectNoButton(shot);
      ExpectCloseGlyph(shot, false);
      EXPECT_EQ(shot.At(30, 268), 0x969696u);
      EXPECT_EQ(shot.At(31, 270), RGB(228, 81, 71));
      EXPECT_EQ(shot.At(420, 274), 0xE7E7E7u);

      // Reconnecting: the text in place of the percentage, the bar as it was; then 74% again.
      dlg.ShowReconnecting(true);
      shot = Shoot(dlg, "installer-reconnecting" + suffix);
      EXPECT_EQ(CountDifferences(shot, ExpectedStatus(language.reconnecting, kPercentFormat),
                                 kStatusArea), 0);
      EXPECT_EQ(shot.At(31, 270), RGB(228, 81, 71));
      ExpectCloseGlyph(shot, false);
      dlg.ShowReconnecting(false);
      shot = Shoot(dlg, "");
      EXPECT_EQ(CountDifferences(shot, ExpectedStatus(L"74%", kPercentFormat), kStatusArea), 0);

      // A controller that offers the close box while downloading: the glyph beside the bar.
      controller.close_while_installing = true;
      shot = Shoot(dlg, "installer-installing-closable" + suffix);
      ExpectCloseGlyph(shot, true);
      EXPECT_EQ(CountDifferences(shot, ExpectedStatus(L"74%", kPercentFormat), kStatusArea), 0);
      controller.close_while_installing = false;

      // Failed: the status text; the close glyph is back; no button, no bar.
      dlg.ShowFailure(GetMessageText(context_.LanguageId, kTextInstallFail));
      EXPECT_EQ(dlg.StatusText(), language.install_fail);
      shot = Shoot(dlg, "installer-failed" + suffix);
      EXPECT_EQ(CountDifferences(shot, ExpectedStatus(language.install_fail, kStatusFormat),
                                 kStatusArea), 0);
      ExpectNoButton(shot);
      ExpectCloseGlyph(shot, true);
      ExpectNoProgressBar(shot);

      // Installed: the button "Open".
      dlg.SetState(WindowState::Installed);
      shot = Shoot(dlg, "installer-installed" + suffix);
      EXPECT_EQ(CountDifferences(shot, ExpectedButton(language.open, false), kButtonArea), 0);
      ExpectCloseGlyph(shot, true);
      ExpectNoProgressBar(shot);
      EXPECT_EQ(CountDifferences(shot, picture_, kStatus), 0);
    }, context_);
  }
}

TEST_F(InstallerWindowPaint, HoveredButtonChangesFrameAndSinksItsCaption) {
  RunDlgScript(controller_, [&](TQuillbankDlg& dlg) {
    HWND hwnd = dlg.Handle();
    SendMouse(hwnd, WM_MOUSEMOVE, 0, 230, 252);
    ASSERT_TRUE(dlg.ButtonHover());
    const Image shot = Shoot(dlg, "installer-ready-hover-en.png");
    EXPECT_EQ(shot.At(198, 240), kButtonFrameHoverColour);
    EXPECT_EQ(shot.At(261, 264), kButtonFrameHoverColour);
    EXPECT_EQ(CountDifferences(shot, ExpectedButton(L"Install", true), kButtonArea), 0);
    // One pixel down, as when not hovered, is not what is shown.
    const Image one_down = DrawTextOver(FrameOver(picture_, kButton, kButtonFrameHoverColour),
                                        BodyFont, 0xE7E7E7, Shifted(kButton, 1), L"Install",
                                        kCaptionFormat);
    EXPECT_GT(CountDifferences(shot, one_down, kButtonArea), 10);

    // The mouse leaves: back to normal.
    SendMouse(hwnd, WM_MOUSEMOVE, 0, 100, 150);
    EXPECT_FALSE(dlg.ButtonHover());
    EXPECT_EQ(CountDifferences(CaptureWindow(hwnd), ExpectedButton(L"Install", false), kButtonArea), 0);
  }, context_);
}

TEST_F(InstallerWindowPaint, PercentageIsTruncatedAndNeverShows100UntilTheInstallStepsRun) {
  RunDlgScript(controller_, [&](TQuillbankDlg& dlg) {
    struct Case {
      int32_t done;
      int32_t total;
      const wchar_t* text;
    };
    for (const Case& c : {Case{4, 4, L"99%"}, Case{0, 0, L"0%"}, Case{1, 3, L"33%"}}) {
      dlg.SetFilesTotal(c.total);
      dlg.SetFilesDone(c.done);
      dlg.SetState(WindowState::Installing);
      const Image shot = Shoot(dlg, "");
      EXPECT_EQ(CountDifferences(shot, ExpectedStatus(c.text, kPercentFormat), kStatusArea), 0)
          << c.done << " of " << c.total;
    }
    // A file done message steps the counter and switches to Installing from any state.
    dlg.SetState(WindowState::Failed);
    dlg.StepProgress();
    EXPECT_EQ(dlg.State(), WindowState::Installing);
    EXPECT_EQ(dlg.FilesDone(), 2);
    EXPECT_EQ(dlg.ProgressBar()->Position(), 2);
    EXPECT_EQ(dlg.ProgressBar()->Range(), 3);
    EXPECT_EQ(CountDifferences(Shoot(dlg, ""), ExpectedStatus(L"66%", kPercentFormat), kStatusArea), 0);

    // While the install steps run after the last file, the window shows 100%.
    dlg.ShowInstallFinishing();
    Image shot = Shoot(dlg, "installer-finishing-en.png");
    EXPECT_EQ(CountDifferences(shot, ExpectedStatus(L"100%", kPercentFormat), kStatusArea), 0);
    EXPECT_NE(shot.At(kProgressBarRect.right - 2, 274), 0xE7E7E7u) << "bar not full";
    EXPECT_EQ(dlg.FilesDone(), 2);
    dlg.SetState(WindowState::Installing);
    shot = Shoot(dlg, "");
    EXPECT_EQ(CountDifferences(shot, ExpectedStatus(L"66%", kPercentFormat), kStatusArea), 0);
    EXPECT_EQ(shot.At(kProgressBarRect.right - 2, 274), 0xE7E7E7u);
  }, context_);
}

// Thousands of files step the counter: a step repaints only what it changes, so that the window
// does not repaint itself whole once per file.
TEST_F(InstallerWindowPaint, AStepRepaintsOnlyWhatItChanges) {
  RunDlgScript(controller_, [&](TQuillbankDlg& dlg) {
    dlg.SetFilesTotal(1000);
    dlg.SetFilesDone(102);
    dlg.SetState(WindowState::Installing);
    const HWND window = dlg.Handle();
    const HWND bar = dlg.ProgressBar()->Handle();
    // As after a paint: nothing left to repaint.
    ValidateRect(window, nullptr);
    ValidateRect(bar, nullptr);
    RECT update = {};
    // 103 of 1000: still 10%, and the bar's fill a fraction of a pixel longer.
    dlg.StepProgress();
    EXPECT_FALSE(GetUpdateRect(window, &update, FALSE));
    EXPECT_FALSE(GetUpdateRect(bar, &update, FALSE));
    for (int i = 0; i < 10; ++i) dlg.StepProgress();
    // 113: 11%, the percentage alone is painted again, and the bar, now longer.
    ASSERT_TRUE(GetUpdateRect(window, &update, FALSE));
    EXPECT_TRUE(EqualRect(&update, &dlg.StatusRect()));
    EXPECT_TRUE(GetUpdateRect(bar, &update, FALSE));
    EXPECT_EQ(CountDifferences(Shoot(dlg, ""), ExpectedStatus(L"11%", kPercentFormat), kStatusArea), 0);
    EXPECT_EQ(dlg.ProgressBar()->Position(), 113);
  }, context_);
}

TEST_F(InstallerWindowPaint, RefusalShowsTheSignedErrorCode) {
  for (const Language& language : {kLanguages[0], kLanguages[1]}) {
    UseLanguage(language);
    ScriptController controller;
    RunDlgScript(controller, [&](TQuillbankDlg& dlg) {
      dlg.ShowFailureWithCode(static_cast<int32_t>(0xFFFFFFFFu));
      const std::wstring expected = language.id == 0x0409
                                        ? std::wstring(L"Install Fail,Error Code:-1")
                                        : std::wstring(L"\u5B89\u88C5\u5931\u8D25,\u9519\u8BEF\u7801:-1");
      EXPECT_EQ(dlg.StatusText(), expected);
      EXPECT_EQ(dlg.State(), WindowState::Failed);
      EXPECT_EQ(CountDifferences(Shoot(dlg, ""), ExpectedStatus(expected, kStatusFormat), kStatusArea), 0);
    }, context_);
  }
}

TEST(DownloadPercentage, TruncatesAndStaysWithin0To99) {
  EXPECT_EQ(DownloadPercentage(3, 4), 74);
  EXPECT_EQ(DownloadPercentage(4, 4), 99);
  EXPECT_EQ(DownloadPercentage(0, 0), 0);
  EXPECT_EQ(DownloadPercentage(1, 2), 49);
  EXPECT_EQ(DownloadPercentage(999, 1000), 99);
  // Counters that disagree (more files than requested, or none requested yet) stay in range.
  EXPECT_EQ(DownloadPercentage(5, 4), 99);
  EXPECT_EQ(DownloadPercentage(1, 0), 99);
  EXPECT_EQ(DownloadPercentage(INT32_MAX, 0), 99);
  EXPECT_EQ(DownloadPercentage(-1, 4), 0);
}

}  // namespace
