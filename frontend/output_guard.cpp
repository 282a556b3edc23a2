// The output guard's rule and its messages; the platforms supply what an opened output is and
// what each input reads.
#include "frontend/output_guard.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

std::string OutputVerdict::text() const
{
    switch (refusal) {
    case OutputRefusal::None: return std::string();
    case OutputRefusal::Device:
    case OutputRefusal::Input: return std::strerror(EPERM);
    case OutputRefusal::Held: return "Another vantrel run or program is using this file";
    case OutputRefusal::CannotTell: {
        std::string text = "The run cannot tell whether this file is what " + input + " reads";
        if (!why.empty()) text += " (" + why + ")";
        return text;
    }
    case OutputRefusal::OpenFailed: break;
    }
    return std::strerror(error);
}

OutputVerdict judgeOutput(const OpenedOutput &opened, const std::vector<std::string> &inputs)
{
    if (opened.kind == OutputKind::Device) return OutputVerdict::refusedFor(OutputRefusal::Device);
    OutputVerdict verdict;
    // The null device, a console, a pipe: nothing the run reads. A file the open created held
    // nothing before.
    if (opened.kind == OutputKind::Stream || opened.heldNoData) return verdict;
    for (const std::string &input : inputs) {
        const InputReach reach = inputReach(input);
        if (std::find(reach.files.begin(), reach.files.end(), opened.file) != reach.files.end()) {
            return OutputVerdict::refusedFor(OutputRefusal::Input);
        }
        // The first input that cannot be followed names the refusal; a later input that reads
        // the file still makes it a refusal for reading.
        if (!reach.followed && verdict.refusal == OutputRefusal::None) {
            verdict.refusal = OutputRefusal::CannotTell;
            verdict.input = input;
            verdict.why = reach.why;
        }
    }
    return verdict;
}
