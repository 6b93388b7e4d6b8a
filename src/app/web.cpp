#include "app/web.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace sonorix::ui {

const char* const kMakerHomePage = "https://www.brellan.example/";
const char* const kHelpFileName = "sonorix-help.html";

namespace {

void (*g_opener)(const std::string&) = nullptr;

}  // namespace

std::string help_page_path() {
    // Installed: the page's folder under share, as seen from bin. In the build
    // tree the page is copied beside the program.
    const QDir program_dir(QCoreApplication::applicationDirPath());
    const QString installed =
        QDir::cleanPath(program_dir.filePath(QStringLiteral(SONORIX_HELP_FROM_PROGRAM "/") + kHelpFileName));
    if (QFileInfo::exists(installed)) return installed.toStdString();
    return program_dir.filePath(kHelpFileName).toStdString();
}

void open_page(const std::string& address_or_file) {
    if (g_opener) {
        g_opener(address_or_file);
        return;
    }
    const QString text = QString::fromStdString(address_or_file);
    const QUrl url = text.startsWith('/') ? QUrl::fromLocalFile(text) : QUrl(text);
    QDesktopServices::openUrl(url);
}

void set_page_opener(void (*opener)(const std::string&)) { g_opener = opener; }

}  // namespace sonorix::ui
