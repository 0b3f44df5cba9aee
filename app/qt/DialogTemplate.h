// The dialog template: caption, size, font and every control of the main window as data,
// read from resources/dialog.json (compiled into the program). Rectangles are in dialog units;
// DialogUnits turns them into pixels for the dialog's font.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <vector>

namespace tervan::qt {

enum class ControlKind {
    DefaultPushButton,
    PushButton,
    Edit,
    Radio,
    DropList,
    Static,
    GroupBox,
    Progress,
};

inline constexpr int kNoControlId = -1;

struct ControlTemplate {
    int id = kNoControlId;  // kNoControlId for a control without an id of its own
    ControlKind kind = ControlKind::Static;
    QString text;
    QRect rect;  // dialog units
    bool groupStart = false;
    bool tabStop = false;
    bool disabled = false;
    bool border = false;
    bool centred = false;  // text or caption centred horizontally
    bool verticallyCentred = false;
    QString accessibleName;         // for controls whose text does not name them
    QString accessibleDescription;  // what a control is for, where its text says what it shows
    QStringList items;              // initial entries of a list
};

struct DialogTemplate {
    QString caption;
    QSize size;  // client area in dialog units
    int pointSize = 8;
    std::vector<ControlTemplate> controls;  // creation order = tab order

    // Parses a template; `error` receives the reason when the text is not a valid template
    // (the result is then empty).
    static DialogTemplate parse(const QByteArray& json, QString* error = nullptr);
    // The template compiled into the program.
    static const DialogTemplate& mainWindow();
};

// Dialog units to pixels: a horizontal unit is a quarter of the font's average character
// width and a vertical unit an eighth of its height. The average width is measured the way
// the classic dialog manager does it, over the 52 letters "A".."Z" "a".."z", rounded.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseWidth, int baseHeight) : baseWidth_(baseWidth), baseHeight_(baseHeight) {}

    int baseWidth() const { return baseWidth_; }
    int baseHeight() const { return baseHeight_; }
    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    QRect toPixels(const QRect& units) const;
    QSize toPixels(const QSize& units) const;

private:
    int baseWidth_;
    int baseHeight_;
};

}  // namespace tervan::qt
