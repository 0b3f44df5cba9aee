// A window for tests: keeps every control's state, records every call in order and answers
// message boxes and the file chooser from a script.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/DialogWindow.h"

namespace tervan::testing {

class RecordingWindow : public DialogWindow {
public:
    RecordingWindow() {
        for (const int id :
             {kCloseButton, kPathField, kOpenButton, kDownloadButton, kResetButton,
              kDownToRamButton, kRunRamButton, kConnectButton, kDisconnectButton, kUsbRadio,
              kSerialRadio, kModel256Radio, kModel64Radio, kComList, kRomRadio, kRamRadio}) {
            enabled[id] = true;
        }
        enabled[kUsbRadio] = false;  // never enabled by anything
    }

    void setControlText(int id, const std::string& text) override {
        if (id == kStatusLine && (statusHistory.empty() || texts[id] != text)) {
            statusHistory.push_back(text);
        }
        texts[id] = text;
    }
    std::string controlText(int id) override { return texts[id]; }
    void setChecked(int id, bool state) override {
        const bool changed = checked[id] != state;
        checked[id] = state;
        // Like a toolkit that reports every change of a radio button: the controller must
        // ignore what it raises itself.
        if (changed && state && onStateWritten) {
            onStateWritten(id);
        }
    }
    bool isChecked(int id) override { return checked[id]; }
    void selectListEntry(int, int index) override {
        const bool changed = comSelection != index;
        comSelection = index;
        if (changed && onStateWritten) {
            onStateWritten(kComList);
        }
    }
    int selectedListEntry(int) override { return comSelection; }
    void enableControl(int id, bool state) override {
        enabled[id] = state;
        calls.push_back((state ? "enable " : "disable ") + std::to_string(id));
    }
    bool isControlEnabled(int id) override { return enabled[id]; }
    void setProgressRange(std::uint16_t lower, std::uint16_t upper) override {
        rangeLower = lower;
        rangeUpper = upper;
        calls.push_back("range " + std::to_string(lower) + " " + std::to_string(upper));
    }
    void setProgressPosition(std::int16_t value) override {
        position = value;
        positions.push_back(value);
    }
    void messageBox(const std::string& text) override {
        boxes.push_back(text);
        calls.push_back("box " + text);
        if (afterMessageBox) {
            afterMessageBox(text);
        }
    }
    void beep(BeepKind kind) override {
        beeps.push_back(kind);
        calls.push_back("beep " + std::to_string(static_cast<int>(kind)));
    }
    void setWaitCursor(bool on) override {
        waitDepth += on ? 1 : -1;
        if (on) {
            ++waitCursorShown;
        }
    }
    std::optional<std::string> chooseImageFile(const std::string& initialPath) override {
        chooserStarts.push_back(initialPath);
        if (fileChoices.empty()) {
            return std::nullopt;
        }
        auto choice = fileChoices.front();
        fileChoices.pop_front();
        return choice;
    }
    void endDialog(DialogResult result) override { ended = result; }
    void repaint() override { ++repaints; }
    // The test plays the event loop: it calls the controller's handlers.deliverHeld() itself.
    void queueHeldActivation() override { ++heldActivationsQueued; }
    // The same for held commands: the test calls handlers.deliverHeldCommands().
    void queueHeldCommands() override { ++heldCommandsQueued; }

    // The six connection and action buttons, in the order Connect, Disconnect, Download,
    // Reset, Down to RAM, Run RAM: "1" enabled, "0" disabled.
    std::string buttonRow() {
        std::string row;
        for (const int id : {kConnectButton, kDisconnectButton, kDownloadButton, kResetButton,
                             kDownToRamButton, kRunRamButton}) {
            row += enabled[id] ? '1' : '0';
        }
        return row;
    }

    std::map<int, std::string> texts;
    std::map<int, bool> checked;
    std::map<int, bool> enabled;
    int comSelection = -1;
    std::uint16_t rangeLower = 0;
    std::uint16_t rangeUpper = 100;
    std::int16_t position = 0;
    std::vector<std::int16_t> positions;
    std::vector<std::string> statusHistory;
    std::vector<std::string> boxes;
    std::vector<BeepKind> beeps;
    std::vector<std::string> calls;
    std::vector<std::string> chooserStarts;
    std::deque<std::optional<std::string>> fileChoices;
    std::optional<DialogResult> ended;
    int waitDepth = 0;
    int waitCursorShown = 0;
    int repaints = 0;
    int heldActivationsQueued = 0;
    int heldCommandsQueued = 0;
    std::function<void(int)> onStateWritten;
    std::function<void(const std::string&)> afterMessageBox;
};

}  // namespace tervan::testing
