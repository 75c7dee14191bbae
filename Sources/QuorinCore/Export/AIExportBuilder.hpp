#pragma once

#include "QuorinCore/Domain/Incident.hpp"
#include "QuorinCore/Export/AIExportOptions.hpp"
#include "QuorinCore/Export/SecretRedactor.hpp"
#include "QuorinCore/Processes/ProcessGraph.hpp"

#include <string>

namespace quorin {

/// Writes the Markdown request a person hands to an AI assistant for a second opinion on an
/// incident: the observed facts (summary, severity, score, process chain, paths, risk factors),
/// the diffs the user chose to share, fenced and declared untrusted, and the analysis asked for.
///
/// Built defensively, because every value comes from files and processes an attacker may name:
/// each value is redacted (home directory, then secrets), Markdown-escaped so it cannot form
/// structure, and stripped of control and format characters; diffs are redacted and sanitized but
/// keep their line feeds, inside a fence longer than any backtick run they contain. The finished
/// text is redacted once more, one line at a time outside the diffs and one diff at a time inside,
/// so that no redaction can reach across a line the builder wrote and swallow a fence or a heading.
/// A pure function of its inputs; it does not fail.
class AIExportBuilder {
  public:
    explicit AIExportBuilder(SecretRedactor redactor) : redactor_(redactor) {}

    /// The request text, lines joined by line feeds, without a final line feed. `processGraph`
    /// should hold the incident's processes; missing ones make the chain "Attribution incomplete".
    std::string build(const Incident& incident, const ProcessGraph& processGraph,
                      const AIExportOptions& options) const;

  private:
    SecretRedactor redactor_;
};

}  // namespace quorin
