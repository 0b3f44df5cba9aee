// The window services the controller calls: control texts and states, the progress bar,
// message boxes, the wait cursor, the file chooser, ending the dialog and repainting.
#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/qt/QtDialogWindow.h"

namespace tervan::qt {

namespace {

// The program's name as message boxes show it: the executable's file name without extension.
QString programName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

// The file-open chooser. Any name may be typed (the file need not exist), but its folder must.
class ImageFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override {
        const QStringList files = selectedFiles();
        if (!files.isEmpty()) {
            const QFileInfo chosen(files.first());
            if (!chosen.isDir() && !chosen.absoluteDir().exists()) {
                QMessageBox box(QMessageBox::Warning, windowTitle(),
                                tr("The folder %1 does not exist.\nCheck the path and try again.")
                                    .arg(QDir::toNativeSeparators(chosen.absolutePath())),
                                QMessageBox::Ok, this);
                box.setTextFormat(Qt::PlainText);
                box.exec();
                return;
            }
        }
        QFileDialog::accept();
    }
};

// Qt names files in UTF-8 and shows bytes that are not UTF-8 as U+FFFD, so a path Qt hands back
// may not name the file it shows. Each component holding U+FFFD is looked up among its folder's
// entries: if exactly one entry is shown under that name, its bytes are taken; otherwise the
// component's UTF-8 (a name the user typed).
std::string fileSystemPath(const QString& path) {
    if (!path.contains(QChar::ReplacementCharacter)) {
        return QFile::encodeName(path).toStdString();
    }
    const QStringList parts = path.split(QLatin1Char('/'));
    std::string result;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            result += '/';
        }
        const QString& part = parts[i];
        std::string name = QFile::encodeName(part).toStdString();
        if (part.contains(QChar::ReplacementCharacter)) {
            std::string found;
            int matches = 0;
            std::error_code error;
            std::filesystem::directory_iterator entry(result.empty() ? "." : result, error);
            for (; !error && entry != std::filesystem::directory_iterator();
                 entry.increment(error)) {
                const std::string entryName = entry->path().filename().native();
                if (QFile::decodeName(QByteArray::fromStdString(entryName)) == part) {
                    found = entryName;
                    ++matches;
                }
            }
            if (matches == 1) {
                name = found;
            }
        }
        result += name;
    }
    return result;
}

// The folder the chooser starts in: the image's folder (the path itself if it is a folder), or
// none if that does not exist. A folder Qt cannot name (bytes that are not UTF-8) cannot be
// shown: the nearest folder above it that Qt can name is taken instead.
QString startFolder(const std::string& initialPath) {
    if (initialPath.empty()) {
        return {};
    }
    std::error_code error;
    std::filesystem::path folder = std::filesystem::absolute(initialPath, error);
    if (!std::filesystem::is_directory(folder, error)) {
        folder = folder.parent_path();
    }
    if (!std::filesystem::is_directory(folder, error)) {
        return {};
    }
    QString shown = QFile::decodeName(QByteArray::fromStdString(folder.native()));
    while (!QDir(shown).exists() && folder.has_relative_path()) {
        folder = folder.parent_path();
        shown = QFile::decodeName(QByteArray::fromStdString(folder.native()));
    }
    return shown;
}

}  // namespace

void QtDialogWindow::setControlText(int id, const std::string& text) {
    QWidget* widget = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        // The path field holds a file name in the file system's bytes.
        pathFieldName_ = text;
        pathFieldShown_ = QFile::decodeName(QByteArray::fromStdString(text));
        edit->setText(pathFieldShown_);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(QString::fromStdString(text));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(QString::fromStdString(text));
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        group->setTitle(QString::fromStdString(text));
    }
}

std::string QtDialogWindow::controlText(int id) {
    QWidget* widget = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        // Text the user has typed is UTF-8; an unchanged name keeps its bytes.
        return edit->text() == pathFieldShown_ ? pathFieldName_
                                               : QFile::encodeName(edit->text()).toStdString();
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        return label->text().toStdString();
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        return button->text().toStdString();
    }
    if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        return group->title().toStdString();
    }
    return {};
}

void QtDialogWindow::setChecked(int id, bool checked) {
    auto* button = qobject_cast<QAbstractButton*>(control(id));
    if (button == nullptr || button->isChecked() == checked) {
        return;
    }
    QButtonGroup* group = button->group();
    if (!checked && group != nullptr && group->exclusive()) {
        // An exclusive group refuses to uncheck its checked button; the state may ask for no
        // button of the group to be checked.
        group->setExclusive(false);
        button->setChecked(false);
        group->setExclusive(true);
    } else {
        button->setChecked(checked);
    }
}

bool QtDialogWindow::isChecked(int id) {
    auto* button = qobject_cast<QAbstractButton*>(control(id));
    return button != nullptr && button->isChecked();
}

void QtDialogWindow::selectListEntry(int id, int index) {
    auto* list = qobject_cast<QComboBox*>(control(id));
    if (list == nullptr) {
        return;
    }
    const int entry = index >= 0 && index < list->count() ? index : -1;
    list->setCurrentIndex(entry);
    lastListIndex_ = entry;
}

int QtDialogWindow::selectedListEntry(int id) {
    auto* list = qobject_cast<QComboBox*>(control(id));
    return list == nullptr ? -1 : list->currentIndex();
}

void QtDialogWindow::enableControl(int id, bool enabled) {
    if (QWidget* widget = control(id)) {
        widget->setEnabled(enabled);
    }
}

bool QtDialogWindow::isControlEnabled(int id) {
    QWidget* widget = control(id);
    return widget != nullptr && widget->isEnabled();
}

void QtDialogWindow::setProgressRange(std::uint16_t lower, std::uint16_t upper) {
    auto* bar = qobject_cast<QProgressBar*>(control(kProgressBar));
    if (bar == nullptr) {
        return;
    }
    progressLower_ = lower;
    progressUpper_ = std::max<int>(lower, upper);
    const int position = bar->value();
    // Equal bounds would turn the bar into a busy indicator; show an empty bar instead.
    bar->setRange(progressLower_, std::max(progressUpper_, progressLower_ + 1));
    bar->setValue(std::clamp(position, progressLower_, progressUpper_));
}

void QtDialogWindow::setProgressPosition(std::int16_t position) {
    auto* bar = qobject_cast<QProgressBar*>(control(kProgressBar));
    if (bar == nullptr) {
        return;
    }
    // Like the range, the position is clamped rather than ignored when it lies outside.
    bar->setValue(std::clamp<int>(position, progressLower_, progressUpper_));
}

void QtDialogWindow::messageBox(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, programName(), QString::fromStdString(text),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    // While a handler shows the wait cursor, the box gets the normal one.
    const bool waiting = waitCursorDepth_ > 0;
    if (waiting) {
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    }
    box.exec();
    if (waiting) {
        QApplication::restoreOverrideCursor();
    }
}

void QtDialogWindow::beep(BeepKind /*kind*/) {
    QApplication::beep();
}

void QtDialogWindow::setWaitCursor(bool on) {
    if (on) {
        ++waitCursorDepth_;
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (waitCursorDepth_ > 0) {
        --waitCursorDepth_;
        QApplication::restoreOverrideCursor();
    }
}

std::optional<std::string> QtDialogWindow::chooseImageFile(const std::string& initialPath) {
    // The one filter "BIN *.bin": Qt takes the pattern from the parentheses.
    ImageFileDialog chooser(this, tr("Open"), startFolder(initialPath), tr("BIN (*.bin)"));
    chooser.setOption(QFileDialog::DontUseNativeDialog, true);
    chooser.setOption(QFileDialog::ReadOnly, false);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    chooser.setFileMode(QFileDialog::AnyFile);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return fileSystemPath(chooser.selectedFiles().first());
}

void QtDialogWindow::endDialog(DialogResult result) {
    done(static_cast<int>(result));
}

void QtDialogWindow::repaint() {
    if (QWidget* status = control(kStatusLine)) {
        status->repaint();
    }
    if (QWidget* progress = control(kProgressBar)) {
        progress->repaint();
    }
}

}  // namespace tervan::qt
