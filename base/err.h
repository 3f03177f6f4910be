#pragma once

#include <QString>

#include <exception>

// An error for the user. Creating one writes its message to the log, so every
// Err is logged exactly once, where it arises; a catcher only decides where to show it.
class Err : public std::exception {
public:
    explicit Err(const QString &message);
    ~Err() override;

    // The same for every Err: this is how a caught std::exception is recognised as one.
    const char *what() const noexcept override;

    const QString &message() const { return text; }

    static constexpr const char description[] = "Error (class Err).";

private:
    QString text;
};

// An internal error that must never occur, named by its place code.
class Debug : public Err {
public:
    explicit Debug(unsigned short place_code);
};

// Ends the exchange thread quietly; never shown or logged.
class The_end {
};

// True when a caught standard exception is one of ours.
bool is_err(const std::exception &e);
