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
const AnsiString FolderBusyMessage =
    T("另一个Sendrift程序正在升级VELTRAMO产品，请等它结束后再运行本程序！");

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
const AnsiString RetryButton = T("重试(&S)");
const AnsiString CloseButton = T("关闭(&C)");
const AnsiString DoneButton = T("完成(&C)");
const AnsiString StoppedButton = T("完成(&S)");
const AnsiString FinishButton = T("完成(&F)");

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

const AnsiString CheckingHint = T("请确保已经连接到Interner网络，单击\"开始\"将自动进行升级。");
const AnsiString LatestVersionIs = T("当前系统的最新版本为:");
const AnsiString UpdateFoundHint =
    T("已经连接到网络升级计算机,单击\"下一步\"获取VELTRAMO产品的更新!");
const AnsiString UpToDateMessage =
    T("您计算机上已安装的所有VELTRAMO产品都是最新的。请以后再次查新的产品更新。");
const AnsiString RolloutNotYet = T("VELTRAMO产品的新版本");
const AnsiString RolloutFrom = T("将于");
const AnsiString RolloutTail = T("起提供给您的计算机。");
const AnsiString VersionUnavailableMessage =
    T("无法获取VELTRAMO最新的版本信息,请检查网络连接是否正常");
const AnsiString ManifestUnavailableMessage =
    T("无法获取VELTRAMO产品的更新列表,请检查网络连接是否正常");
const AnsiString CannotCreateFolder = T("无法创建文件夹");

const AnsiString ListingProgress = T("正在获取更新文件列表,系统:");
const AnsiString ListingFilesOf = T("个,共:");
const AnsiString ListingPlugIns = T("个,插件");
const AnsiString ListedHint = T("单击\"下一步\"下载VELTRAMO产品的更新!");
const AnsiString DownloadFailedMessage =
    T("无法下载VELTRAMO产品的更新,请检查网络连接是否正常,稍后再试");
const AnsiString FileDone = T("完成");
const AnsiString DownloadingFile = T("正在下载文件");
const AnsiString TotalProgress = T("总下载进度 ");
const AnsiString OfTotal = T("(共");
const AnsiString CloseParen = T(")");
const AnsiString DownloadedHint = T("单击\"下一步\"安装VELTRAMO产品的更新!");
const AnsiString NotInstalled = T("未更新");
const AnsiString InstalledState = T("已安装");
const AnsiString InstallCountOf = T("共有");
const AnsiString InstallCountDone = T("个更新,已安装");
const AnsiString InstallCountUnit = T("个");
const AnsiString UpdateFile = T("升级文件");
const AnsiString FileMissingTail = T("不存在,点击\"重试\"开始新的升级");
const AnsiString InstallFailedTail = T("安装失败,请关闭正在使用该文件的程序后点击\"重试\"");
const AnsiString DamagedCopyTail = T("已损坏并已删除,点击\"重试\"重新下载该文件");
const AnsiString InstallDiskFullTail = T("安装失败,磁盘空间不足,请释放磁盘空间后点击\"重试\"");
const AnsiString AmbiguousNameTail =
    T("在安装文件夹中有多个仅大小写不同的同名文件,请删除多余的文件后点击\"重试\"");
const AnsiString FolderNotWritable = T("无法写入文件夹");
const AnsiString FolderNotWritableTail =
    T(",请确认当前用户有修改该文件夹的权限并且磁盘不是只读的,然后点击\"重试\"");
const AnsiString RefusedName = T("升级列表中的文件名\"");
const AnsiString RefusedNameTail = T("\"无效,该升级列表不能使用,点击\"重新\"开始新的升级");
const AnsiString DiskFull = T("磁盘空间不足,下载更新需要");
const AnsiString DiskFullFree = T(",可用空间只有");
const AnsiString DiskFullTail = T(",请释放磁盘空间后点击\"重试\"");
const AnsiString InstalledUpdates = T("Sendrift产品成功安装了VELTRAMO产品的");
const AnsiString InstalledUpdatesTail = T("个更新。");
const AnsiString UpgradeSucceeded = T("升级成功！");


}  // namespace Texts
