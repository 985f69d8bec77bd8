// Renders each page of the wizard window offscreen into PNG files in the build folder, so
// that the flat look of the whole form can be looked at. Not compared with stored pictures:
// text rendering differs from machine to machine.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QTreeWidget>
#include <utility>

#include "support/appfolder.h"
#include "app/mainform.h"
#include "app/notebook.h"
#include "platform/codepage.h"
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
    for (QTreeWidget* view : {form.ListView2, form.ListView3, form.ListView4})
        AddRows(view, form.ImageList1.empty() ? QIcon() : form.ImageList1.front());
    AddRows(form.ListView5, form.ImageList1.size() > 1 ? form.ImageList1[1] : QIcon());
    form.FlatProgressBar1->SetPosition(100);
    form.FlatProgressBar2->SetPosition(50);
    form.FlatProgressBar4->SetPosition(25);
    form.FlatProgressBar3->SetPosition(75);
    form.Memo1->Lines.Add(platform::FromUtf8("升级完成。"));
    // Sample status lines where the steps write theirs, to see that nothing overlaps.
    const std::pair<QLabel*, const char*> statusLines[] = {
        {form.Label1, "正在连接升级服务器..."},
        {form.Label19, "正在查找更新文件：3/3"},
        {form.Label2, "单击\"下一步\"开始下载。"},
        {form.Label17, "Sendrift.exe  512.0KB/1,024.0KB"},
        {form.Label18, "总计：1,536.0KB/6,144.0KB"},
        {form.Label21, "单击\"取消\"停止下载。"},
        {form.Label20, "3/4"},
    };
    for (const auto& [label, text] : statusLines) label->setText(QString::fromUtf8(text));

    const QDir folderOut(QStringLiteral(SCREENSHOT_DIR));
    ASSERT_TRUE(folderOut.mkpath("."));
    for (const char* page : {"welcome", "index", "download", "install", "finish", "New"}) {
        form.Notebook1->SetActivePage(page);
        ASSERT_EQ(form.Notebook1->ActivePage(), page);
        if (AnsiString(page) == "New")
            form.ShowMessagePage({platform::FromUtf8("无法连接到升级服务器。"),
                                  platform::FromUtf8("请检查网络连接后重试。")});
        // A running step disables the main button: the etched look is seen on those pages.
        const AnsiString name = page;
        form.Bitbtn1->setEnabled(name != "download" && name != "install");
        QImage shot = form.grab().toImage();
        ASSERT_EQ(shot.size(), QSize(520, 326));
        // The main button's corner carries the flat frame, not a platform button bevel.
        const QPoint corner = form.Bitbtn1->geometry().topLeft();
        EXPECT_EQ(shot.pixelColor(corner), ToQColor(form.Bitbtn1->ColorBorder())) << page;
        EXPECT_TRUE(shot.save(folderOut.filePath(QStringLiteral("wizard-%1.png").arg(page))));
    }
}
