#pragma once

// The AuditLog target that `setup_logging` selects and `write_audit` writes to.
// Thread-safety: the target is swapped under the audit lock, so a line goes to the target in
// force when it takes the lock.

#include <memory>
#include <string>

namespace tolvan::logger::detail {

struct AuditTarget {
  enum class Kind { Stdout, Stderr, File };
  Kind kind = Kind::File;
  std::string path;  // as configured; only for Kind::File
};

/// Makes `target` the AuditLog target; nullptr switches audit lines off.
void set_audit_target(std::shared_ptr<const AuditTarget> target) noexcept;

}  // namespace tolvan::logger::detail
