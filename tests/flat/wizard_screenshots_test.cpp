// Renders each page of the wizard window offscreen into PNG files in the build folder, so
// that the flat look of the whole form can be looked at. Not compared with stored pictures:
// text rendering differs from machine to machine.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QTreeWidget>
#include <utility>

#include "app/formparts.h"
#include "app/window/mainform.h"
#include "app/window/notebook.h"
#include "platform/codepage.h"
#include "resources/resources.h"
#include "support/appfolder.h"
#include "ui/flat/flatmemo.h"
#include "ui/flat/flatprogressbar.h"
#include "ui/flat/flatspeedbutton.h"

namespace {

void AddRows(QTreeWidget* view, const QIcon& icon) {
    for (const char* name : {"Sendrift.exe", "Veltramo.dll", "Reports.dll"}) {
        auto* item = new QTreeWidgetItem(view);
        item->setText(0, QString::fromUtf8(name));
        item->setText(1, QStringLiteral("1,024.0KB"));
        item->setIcon(0, icon);
    }
}

}  // namespace

TEST(WizardScreenshots, EveryPageIsRenderedWithTheFlatControls) {
    TempAppFolder folder;
    TWizardEnvironment environment;
    environment.ApplicationFolder = folder.Folder();
    environment.ServerUrl = "http://127.0.0.1:1";
    environment.Confirm = [](const AnsiString&) { return false; };
    environment.ShowError = [](const AnsiString&) {};
    TMainform form(std::move(environment));
    form.show();

    // Content as a running upgrade shows it, so rows, icons and blocks are seen too.
    for (const char* view : {"index.files", "download.files", "install.files"})
        AddRows(&Part<QTreeWidget>(form, view), QIcon(ItemIcon(0)));
    AddRows(&Part<QTreeWidget>(form, "finish.files"), QIcon(ItemIcon(1)));
    Part<TFlatProgressBar>(form, "index.progress").SetPosition(100);
    Part<TFlatProgressBar>(form, "download.fileProgress").SetPosition(50);
    Part<TFlatProgressBar>(form, "download.totalProgress").SetPosition(25);
    Part<TFlatProgressBar>(form, "install.progress").SetPosition(75);
    Part<TFlatMemo>(form, "finish.summary").Lines.Add(platform::FromUtf8("升级完成。"));
    // Sample status lines where the steps write theirs, to see that nothing overlaps.
    const std::pair<QLabel*, const char*> statusLines[] = {
        {&Part<QLabel>(form, "welcome.status"), "正在连接升级服务器..."},
        {&Part<QLabel>(form, "index.count"), "正在查找更新文件：3/3"},
        {&Part<QLabel>(form, "index.hint"), "单击\"下一步\"开始下载。"},
        {&Part<QLabel>(form, "download.fileLabel"), "Sendrift.exe  512.0KB/1,024.0KB"},
        {&Part<QLabel>(form, "download.totalLabel"), "总计：1,536.0KB/6,144.0KB"},
        {&Part<QLabel>(form, "download.hint"), "单击\"取消\"停止下载。"},
        {&Part<QLabel>(form, "install.count"), "3/4"},
    };
    for (const auto& [label, text] : statusLines) label->setText(QString::fromUtf8(text));

    const QDir folderOut(QStringLiteral(SCREENSHOT_DIR));
    ASSERT_TRUE(folderOut.mkpath("."));
    for (const char* page : {"welcome", "index", "download", "install", "finish", "New"}) {
        Pages(form).SetActivePage(page);
        ASSERT_EQ(Pages(form).ActivePage(), page);
        if (AnsiString(page) == "New")
            form.ShowMessagePage({platform::FromUtf8("无法连接到升级服务器。"),
                                  platform::FromUtf8("请检查网络连接后重试。")});
        // A running step disables the main button: the etched look is seen on those pages.
        const AnsiString name = page;
        MainButton(form).setEnabled(name != "download" && name != "install");
        QImage shot = form.grab().toImage();
        ASSERT_EQ(shot.size(), QSize(520, 326));
        // The main button's corner carries the flat frame, not a platform button bevel.
        const QPoint corner = MainButton(form).geometry().topLeft();
        EXPECT_EQ(shot.pixelColor(corner), ToQColor(MainButton(form).ColorBorder())) << page;
        EXPECT_TRUE(shot.save(folderOut.filePath(QStringLiteral("wizard-%1.png").arg(page))));
    }
}
