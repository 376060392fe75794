#pragma once

#include <memory>
#include <string>

// A callback bound to one object: executed directly by its holder or queued for the worker.
class Command {
public:
    virtual ~Command() = default;
    virtual void execute(const std::string& argument) = 0;
};

// Binds a plain, non-owning target pointer to one of its operations taking a text.
template <class T>
class SimpleCommand : public Command {
public:
    using Operation = void (T::*)(const std::string&);

    SimpleCommand(T* target, Operation operation) : target(target), operation(operation) {}

    void execute(const std::string& argument) override { (target->*operation)(argument); }

private:
    T* target;
    Operation operation;
};

// Like SimpleCommand, but keeps its target alive until the command itself is released.
template <class T>
class SharedCommand : public Command {
public:
    using Operation = void (T::*)(const std::string&);

    SharedCommand(std::shared_ptr<T> target, Operation operation)
        : target(std::move(target)), operation(operation) {}

    void execute(const std::string& argument) override { ((*target).*operation)(argument); }

private:
    std::shared_ptr<T> target;
    Operation operation;
};

// Like SimpleCommand, but does nothing once its target is gone: for answers that may
// arrive after the object that asked has been released.
template <class T>
class WeakCommand : public Command {
public:
    using Operation = void (T::*)(const std::string&);

    WeakCommand(std::weak_ptr<T> target, Operation operation) : target(std::move(target)), operation(operation) {}

    void execute(const std::string& argument) override
    {
        if (std::shared_ptr<T> alive = target.lock())
            ((*alive).*operation)(argument);
    }

private:
    std::weak_ptr<T> target;
    Operation operation;
};

// Runs the command when there is one. The pointer is a copy, so a command that replaces its
// holder's stays alive while it runs.
inline void executeIfSet(std::shared_ptr<Command> command, const std::string& argument)
{
    if (command)
        command->execute(argument);
}

template <class T>
std::shared_ptr<Command> makeCommand(T* target, typename SimpleCommand<T>::Operation operation)
{
    return std::make_shared<SimpleCommand<T>>(target, operation);
}
