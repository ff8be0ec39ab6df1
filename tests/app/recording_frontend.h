// A front end for tests: records every call as one line of text and answers
// questions from a script.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "app/frontend.h"

namespace apptest {

struct Told {
    std::string message;
    std::string title;
    int kind;
};

struct Asked {
    std::string message;
    std::string title;
    bool answer;
};

class RecordingFrontEnd : public app::FrontEnd {
public:
    // Answers of the next questions, in order; afterwards defaultAnswer.
    std::deque<bool> answers;
    bool defaultAnswer = false;

    std::vector<std::string> calls;
    std::vector<Told> told;
    std::vector<Asked> asked;
    std::vector<std::string> statuses;
    std::vector<int> progress;
    std::vector<app::Timer> timers;
    std::map<app::WindowText, std::string> texts;
    std::map<app::Control, bool> enabled, visible, ticked;
    std::vector<std::string> portItems;
    int defaultButton = -1;
    bool closed = false;
    bool busy = false;

    void ShowMessage(const std::string& message, const std::string& title, int kind) override {
        told.push_back({message, title, kind});
        calls.push_back("message " + title);
    }
    bool AskOkCancel(const std::string& message, const std::string& title) override {
        bool a = defaultAnswer;
        if (!answers.empty()) {
            a = answers.front();
            answers.pop_front();
        }
        asked.push_back({message, title, a});
        calls.push_back("ask " + title + (a ? " OK" : " Cancel"));
        return a;
    }
    void SetStatusText(const std::string& text) override {
        statuses.push_back(text);
        calls.push_back("status " + text);
    }
    void ShowStatusText(bool v) override { calls.push_back(v ? "status shown" : "status hidden"); }
    void SetWindowText(app::WindowText which, const std::string& text) override { texts[which] = text; }
    void SetProgress(int position) override {
        progress.push_back(position);
        calls.push_back("bar " + std::to_string(position));
    }
    void EnableControl(app::Control which, bool e) override { enabled[which] = e; }
    void ShowControl(app::Control which, bool v) override { visible[which] = v; }
    void TickMenuItem(app::Control which, bool t) override { ticked[which] = t; }
    void SetDefaultButton(app::Control which) override { defaultButton = static_cast<int>(which); }
    void ShowSerialNumberEntry(bool v) override { calls.push_back(v ? "sn shown" : "sn hidden"); }
    void SetBusyCursor(bool b) override { busy = b; }
    void PlayInformationSound() override { calls.push_back("sound"); }
    void SetPortList(const std::vector<std::string>& items, int) override { portItems = items; }
    void ArmTimer(app::Timer which) override { timers.push_back(which); }
    void CloseWindow() override { closed = true; }
    void ProcessEvents() override {}

    std::vector<app::Control> Ticked() const {
        std::vector<app::Control> out;
        for (auto& [c, t] : ticked)
            if (t) out.push_back(c);
        return out;
    }
    const Told* FindTold(const std::string& title) const {
        for (const Told& t : told)
            if (t.title == title) return &t;
        return nullptr;
    }
};

}  // namespace apptest
