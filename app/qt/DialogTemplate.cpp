#include "app/qt/DialogTemplate.h"

#include <QFile>
#include <QFontMetrics>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtGlobal>

namespace tervan::qt {

namespace {

bool parseKind(const QString& name, ControlKind& kind) {
    static const struct {
        const char* name;
        ControlKind kind;
    } kinds[] = {
        {"defpushbutton", ControlKind::DefaultPushButton},
        {"pushbutton", ControlKind::PushButton},
        {"edit", ControlKind::Edit},
        {"radio", ControlKind::Radio},
        {"droplist", ControlKind::DropList},
        {"static", ControlKind::Static},
        {"groupbox", ControlKind::GroupBox},
        {"progress", ControlKind::Progress},
    };
    for (const auto& entry : kinds) {
        if (name == QLatin1String(entry.name)) {
            kind = entry.kind;
            return true;
        }
    }
    return false;
}

bool parseFourInts(const QJsonValue& value, int out[4]) {
    const QJsonArray array = value.toArray();
    if (array.size() != 4) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        if (!array[i].isDouble()) {
            return false;
        }
        out[i] = array[i].toInt();
    }
    return true;
}

// The classic dialog manager's MulDiv: a * b / c rounded half away from zero.
int mulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

}  // namespace

DialogTemplate DialogTemplate::parse(const QByteArray& json, QString* error) {
    auto fail = [error](const QString& reason) {
        if (error != nullptr) {
            *error = reason;
        }
        return DialogTemplate{};
    };

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (document.isNull() || !document.isObject()) {
        return fail(QStringLiteral("not a JSON object: %1").arg(parseError.errorString()));
    }
    const QJsonObject root = document.object();

    DialogTemplate result;
    result.caption = root.value(QLatin1String("caption")).toString();
    const QJsonArray size = root.value(QLatin1String("size")).toArray();
    if (size.size() != 2 || size[0].toInt() <= 0 || size[1].toInt() <= 0) {
        return fail(QStringLiteral("size must be two positive numbers"));
    }
    result.size = QSize(size[0].toInt(), size[1].toInt());
    result.pointSize = root.value(QLatin1String("font")).toObject().value("pointSize").toInt(8);

    const QJsonArray controls = root.value(QLatin1String("controls")).toArray();
    for (qsizetype i = 0; i < controls.size(); ++i) {
        const QJsonObject object = controls[i].toObject();
        ControlTemplate control;
        const QJsonValue id = object.value(QLatin1String("id"));
        if (id.isDouble()) {
            control.id = id.toInt();
        } else if (!id.isNull()) {
            return fail(QStringLiteral("control %1: id must be a number or null").arg(i));
        }
        if (!parseKind(object.value(QLatin1String("kind")).toString(), control.kind)) {
            return fail(QStringLiteral("control %1: unknown kind").arg(i));
        }
        control.text = object.value(QLatin1String("text")).toString();
        int rect[4];
        if (!parseFourInts(object.value(QLatin1String("rect")), rect)) {
            return fail(QStringLiteral("control %1: rect must be four numbers").arg(i));
        }
        control.rect = QRect(rect[0], rect[1], rect[2], rect[3]);
        const QJsonArray flags = object.value(QLatin1String("flags")).toArray();
        for (const QJsonValue& flagValue : flags) {
            const QString flag = flagValue.toString();
            if (flag == QLatin1String("group")) {
                control.groupStart = true;
            } else if (flag == QLatin1String("tabstop")) {
                control.tabStop = true;
            } else if (flag == QLatin1String("disabled")) {
                control.disabled = true;
            } else if (flag == QLatin1String("border")) {
                control.border = true;
            } else if (flag == QLatin1String("centre")) {
                control.centred = true;
            } else if (flag == QLatin1String("vcentre")) {
                control.verticallyCentred = true;
            } else if (flag == QLatin1String("hscroll") || flag == QLatin1String("vscroll") ||
                       flag == QLatin1String("smooth")) {
                // What the toolkit's edit field, list and progress bar do anyway.
            } else {
                return fail(QStringLiteral("control %1: unknown flag %2").arg(i).arg(flag));
            }
        }
        control.accessibleName = object.value(QLatin1String("name")).toString();
        control.accessibleDescription = object.value(QLatin1String("description")).toString();
        for (const QJsonValue& item : object.value(QLatin1String("items")).toArray()) {
            control.items.append(item.toString());
        }
        result.controls.push_back(std::move(control));
    }
    if (result.controls.empty()) {
        return fail(QStringLiteral("no controls"));
    }
    return result;
}

const DialogTemplate& DialogTemplate::mainWindow() {
    static const DialogTemplate instance = [] {
        QFile file(QStringLiteral(":/tervan/dialog.json"));
        if (!file.open(QIODevice::ReadOnly)) {
            qFatal("the dialog template is missing from the program's resources");
        }
        QString error;
        DialogTemplate parsed = parse(file.readAll(), &error);
        if (parsed.controls.empty()) {
            qFatal("the dialog template is damaged: %s", qPrintable(error));
        }
        return parsed;
    }();
    return instance;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseWidth_ = (letters / 26 + 1) / 2;
    baseHeight_ = metrics.height();
}

int DialogUnits::toPixelsX(int units) const {
    return mulDiv(units, baseWidth_, 4);
}

int DialogUnits::toPixelsY(int units) const {
    return mulDiv(units, baseHeight_, 8);
}

QRect DialogUnits::toPixels(const QRect& units) const {
    return QRect(toPixelsX(units.x()), toPixelsY(units.y()), toPixelsX(units.width()),
                 toPixelsY(units.height()));
}

QSize DialogUnits::toPixels(const QSize& units) const {
    return QSize(toPixelsX(units.width()), toPixelsY(units.height()));
}

}  // namespace tervan::qt
