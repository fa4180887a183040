// The Export command and what every command shares: the way a failure reaches the user.
#include "commands.h"

#include "LightFileFactory.h"
#include "TranslationContext.h"
#include "command_run.h"

#include <exception>
#include <optional>

void failCommand(TranslationContext& context, const std::string& command, const std::string& reason)
{
    showCommandFailure(command, reason);
    try {
        context.report.fail(reason);
    } catch (...) {
        // Out of memory: the user has been told; the report stays without the reason.
    }
}

void showCommandFailure(const std::string& command, const std::string& reason)
{
    try {
        host::messageDialog(command + " failed: " + reason);
    } catch (...) {
        // Nothing more can be done for the user; the host must not see the exception.
    }
}

bool exportDocumentTo(CommandRun& run, const std::string& path)
{
    static const std::string command = "Export to .qrf";
    TranslationContext& context = run.context();
    context.report.setFile(path);
    std::optional<orv::LightFileFactory> factory;
    try {
        factory.emplace(path);
    } catch (const std::exception& e) {
        failCommand(context, command, e.what());
        return false;
    }

    try {
        run.write(*factory);
    } catch (const std::exception& e) {
        // A scene cut short must not replace the file the user had: give the export up.
        factory->abandon();
        context.report.written().bytes = 0;
        failCommand(context, command, e.what());
        return false;
    } catch (...) {
        factory->abandon();
        failCommand(context, command, "unknown error while writing the scene");
        return false;
    }

    // Closing explicitly lets a failed close (a full disk, say) reach the user; the
    // factory's destructor then has nothing left to close.
    try {
        factory->close();
    } catch (const std::exception& e) {
        // What is on disk, not what the writer handed on.
        context.report.written().bytes = factory->bytesWritten();
        failCommand(context, command, e.what());
        return false;
    }
    // The bytes that went out, to a file or to standard output alike (the counter saw list
    // data only).
    context.report.written().bytes = factory->bytesWritten();
    if (const unsigned long long others = factory->otherNames(); others > 0)
        context.report.leftOut(report::Reason::OtherLinksUnchanged, path,
                               std::to_string(others) + (others == 1 ? " other name (hard link) keeps"
                                                                      : " other names (hard links) keep") +
                                   " the previous scene: the new one replaced this name only");
    return true;
}

bool exportDocumentTo(TranslationContext& context, host::Document doc, const std::string& path)
{
    CommandRun run(context, "export", doc);
    return exportDocumentTo(run, path);
}

bool TavrinCinema4DExport::Execute(host::Document doc)
{
    if (context == nullptr)
        return true;
    try {
        CommandRun run(*context, "export", doc);
        try {
            host::Filename name;
            name.setDirectory("%USERDATA%");
            name.setFile("untitled");
            name.setSuffix("qrf");
            if (!name.select(0, 1, "Export to .qrf", "qrf")) {
                context->report.cancel();
                return true;
            }
            context->updateMode = false;
            bool converted = false;
            const std::string path = name.utf8(converted);
            if (!converted || path.empty()) {
                context->report.cancel();
                return true;
            }
            exportDocumentTo(run, path);
        } catch (const std::exception& e) {
            failCommand(*context, "Export to .qrf", e.what());
        }
    } catch (...) {
        showCommandFailure("Export to .qrf", "unknown error");
    }
    return true;
}
