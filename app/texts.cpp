#include "app/texts.h"

#include "platform/codepage.h"

namespace Texts {
namespace {
AnsiString T(const char* utf8) { return platform::FromUtf8(utf8); }
}  // namespace

const AnsiString ApplicationTitle = T("SENDRIFT");
const AnsiString MainProductWindowClass = T("QUENTAROS FOR WINDOWS");
const AnsiString GuardMessage = T("请先退出“VELTRAMO外贸业务管理系统”，然后运行本程序！");
const AnsiString GuardButton = T("确定");

const AnsiString WindowCaption = T("智能在线升级(3.0)");
const AnsiString Welcome = T("欢迎使用 Sendrift ");
const AnsiString InstalledComponents = T("以下VELTRAMO产品或者组件已经安装到您的计算机上。 ");
const AnsiString StartHint = T("请确保已经连接到Interner网络，单击\"开始\"将自动进行升级。 ");
const AnsiString FindingUpdates = T("Sendrift 正在查找VELTRAMO产品的更新：");
const AnsiString DownloadingUpdates = T("Sendrift 正在下载VELTRAMO产品的更新：");
const AnsiString InstallingUpdates = T("Sendrift 正在安装VELTRAMO产品的更新：");
const AnsiString InstallCountLabel = T("安装产品的更新：");
const AnsiString UpToDateProducts = T("下列VELTRAMO产品是最新的： ");
const AnsiString ColumnFile = T("文件");
const AnsiString ColumnSize = T("大小");
const AnsiString ColumnState = T("状态");

const AnsiString ContinueButton = T("继续(&G)");
const AnsiString StartButton = T("开始(&S)");
const AnsiString CancelButton = T("取消(&C)");
const AnsiString RestartButton = T("重新(&N)");
const AnsiString NextButton = T("下一步(&N)");

const AnsiString ResumeUnfinished = T("系统检测到用户曾经对系统进行的升级没有完成。");
const AnsiString ResumeContinueHint = T("单击\"继续\"继续上一次的升级。");
const AnsiString ResumeRestartHint = T("单击\"重新\"重新开始新的升级。");

const AnsiString ConfirmTitle = T("确认");
const AnsiString ConfirmYes = T("是[&Y]");
const AnsiString ConfirmNo = T("否[&N]");
const AnsiString CancelListingQuestion = T("正在获取VELTRAMO产品的更新列表,是否取消?");
const AnsiString CancelDownloadQuestion = T("正在下载升级文件,是否取消?");
const AnsiString CancelInstallQuestion = T("正在执行升级操作,是否取消?");

const AnsiString ProductName = T("VELTRAMO外贸业务管理系统");
const AnsiString ToolCaptions[5] = {
    T("VELTRAMO单证制作工具"), T("VELTRAMO报关数据导入工具"), T("VELTRAMO汇率维护工具"),
    T("VELTRAMO数据备份与恢复工具"), T("VELTRAMO报表设计工具"),
};
const AnsiString RemoteControlCaption = T("VELTRAMO远程协助工具");
const AnsiString RemoteControlProgram = T("rc_host.exe");
const AnsiString ComponentSuffix = T("模块");

const AnsiString CannotWrite = T("无法写入 ");
const AnsiString InvalidDateArgument = T("Invalid argument to date encode");

}  // namespace Texts
