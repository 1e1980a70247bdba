#!/usr/bin/env python3
"""A small tree of every shape a run meets, and the check of what a user sees
after runs over it.

  tree.py make DIR [--foreign UID:GID]
      Writes the tree and prints which shapes the file system holds. With
      --foreign, some files belong to another user and group (set-group-ID
      among them), which only the superuser's run can keep.
  tree.py trim-twice DIR COMMAND...
      Runs COMMAND (a run over DIR, as "." from DIR) twice, and after each
      run checks that every file lost exactly its last line and kept its
      owner, group, mode and extended attributes, and a sparse file its
      hole where the file system tells of holes; that read-only and empty
      files, links and folders are untouched; that the run reported nothing
      but the read-only files and ended with status 0 (1 where there were
      any); and that no copy was left anywhere on DIR's file system.
"""
import errno
import os
import stat
import subprocess
import sys

# Line shapes: LF, CR LF, no final line end, an empty last line, a lone CR
# inside a line, one line, empty.
SHAPES = {
    "lf": lambda i: "".join(f"line {n}\n" for n in range(i % 4 + 3)),
    "crlf": lambda i: "".join(f"line {n}\r\n" for n in range(i % 4 + 3)),
    "noend": lambda i: "first\nsecond\nno line end " + str(i),
    "blank": lambda i: f"text {i}\n\n",
    "lonecr": lambda i: f"a\rb\r\nc {i}\rd\n",
    "one": lambda i: f"the only line {i}\n",
    "empty": lambda i: "",
}
FOLDERS = ["", "sub", "sub/deeper"]
HOLE = 1 << 20  # in a file with a line before it and three after it
PER_SHAPE = 9  # 7 shapes x 9 x 3 folders: 189 files, and the special ones


def shortened(data):
    """Every line but the last, each ended by CR LF; a LF ends a line and a
    CR right before it belongs to that line end."""
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return b"".join(line.removesuffix(b"\r") + b"\r\n" for line in lines[:-1])


def attempt(action):
    """Whether the file system allowed it; those that hold no such thing
    (links, ACLs, owners on FAT) refuse, and the shape is left out."""
    try:
        action()
        return True
    except OSError as error:
        if error.errno in (errno.EPERM, errno.ENOTSUP, errno.ENOSYS, errno.EINVAL):
            return False
        raise


def stored(path):
    """How many bytes the file system stores of a file with a hole that it
    tells of; None for other files."""
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if size == 0 or os.lseek(file.fileno(), 0, os.SEEK_HOLE) >= size:
            return None
        return os.fstat(file.fileno()).st_blocks * 512


def write(path, text, mode=0o644):
    with open(path, "wb") as file:
        file.write(text.encode())
    attempt(lambda: os.chmod(path, mode))


def make(root, foreign):
    os.makedirs(root)
    for folder in FOLDERS:
        os.makedirs(os.path.join(root, folder), exist_ok=True)
        for shape, text in SHAPES.items():
            for i in range(PER_SHAPE):
                write(os.path.join(root, folder, f"{shape}{i}.txt"), text(i))
    held = []
    sparse = os.path.join(root, "sparse.txt")
    write(sparse, "first\n")

    def write_past_the_end():
        with open(sparse, "r+b") as file:
            file.seek(HOLE)
            file.write(b"x\ny\nz\n")

    if attempt(write_past_the_end) and stored(sparse) is not None:
        held.append("holes")
    write(os.path.join(root, "readonly.txt"), "kept\nread only\n", 0o444)
    if os.stat(os.path.join(root, "readonly.txt")).st_mode & 0o222 == 0:
        held.append("read-only file")
    write(os.path.join(root, "shared.txt"), "writable\nby all\n", 0o666)
    write(os.path.join(root, "linked.txt"), "two\nnames\n")
    if attempt(lambda: os.link(os.path.join(root, "linked.txt"),
                               os.path.join(root, "sub", "linked.txt"))):
        held.append("hard link")
    if attempt(lambda: os.symlink("lf0.txt", os.path.join(root, "symlink.txt"))):
        held.append("symlink")
    write(os.path.join(root, "xattr.txt"), "with\nattribute\n")
    if attempt(lambda: os.setxattr(os.path.join(root, "xattr.txt"), "user.origin", b"matrix")):
        held.append("user xattr")
    write(os.path.join(root, "acl.txt"), "with\nACL\n", 0o640)
    if subprocess.run(["setfacl", "-m", "u:4321:r", os.path.join(root, "acl.txt")],
                      stderr=subprocess.DEVNULL).returncode == 0:
        held.append("ACL")
    # A folder's default ACL given after its file was made: the copy inherits
    # one the file has not.
    defaulted = os.path.join(root, "defaulted")
    os.makedirs(defaulted)
    write(os.path.join(defaulted, "older.txt"), "older than\nthe default\n")
    if subprocess.run(["setfacl", "-d", "-m", "u:4321:r", defaulted],
                      stderr=subprocess.DEVNULL).returncode == 0:
        held.append("default ACL")
    if foreign:
        uid, gid = (int(n) for n in foreign.split(":"))
        for name, mode in (("foreign.txt", 0o640), ("setgid.txt", 0o2750)):
            path = os.path.join(root, name)
            write(path, "someone\nelse's\n", mode)
            attempt(lambda: os.chown(path, uid, gid))
            attempt(lambda: os.chmod(path, mode))  # the change of owner cleared set-ID bits
        status = os.stat(os.path.join(root, "setgid.txt"))
        if (status.st_uid, status.st_gid) == (uid, gid):
            held.append("other owner" + (", set-group-ID" if status.st_mode & stat.S_ISGID else ""))
    count = sum(len(files) for _, _, files in os.walk(root))
    print(f"{count} files; held: {', '.join(held) or 'no owners, modes, links or attributes'}")


def attributes(path):
    try:
        return {name: os.getxattr(path, name, follow_symlinks=False)
                for name in os.listxattr(path, follow_symlinks=False)}
    except OSError as error:
        if error.errno in (errno.ENOTSUP, errno.ENODATA):
            return {}
        raise


def snapshot(root):
    """What a user sees of each entry, by path below root."""
    seen = {}
    for folder, dirs, files in os.walk(root):
        # FUSE keeps a file removed while open under such a name until its
        # driver hears of the last close, which may come after the run ends:
        # ntfs-3g's replaced files, for an instant.
        for name in (name for name in dirs + files if not name.startswith(".fuse_hidden")):
            path = os.path.join(folder, name)
            status = os.lstat(path)
            # A folder's time changes as copies come and go in it.
            entry = {"mode": oct(status.st_mode), "owner": (status.st_uid, status.st_gid),
                     "attributes": attributes(path),
                     "identity": (status.st_ino, None if stat.S_ISDIR(status.st_mode)
                                  else status.st_mtime_ns)}
            if stat.S_ISREG(status.st_mode):
                with open(path, "rb") as file:
                    entry["bytes"] = file.read()
                entry["stored"] = stored(path)
            elif stat.S_ISLNK(status.st_mode):
                entry["target"] = os.readlink(path)
            seen[os.path.relpath(path, root)] = entry
    return seen


def leftovers(volume):
    """Copies a run may leave, anywhere on the file system."""
    found = []
    for folder, _, files in os.walk(volume):
        found += [os.path.join(folder, name) for name in files
                  if name.startswith(".tailsnip-") or name == "temp.txt"]
    return found


def read_only(entry):
    return "bytes" in entry and int(entry["mode"], 8) & 0o222 == 0


def check_run(before, after):
    faults = []
    for path in sorted(before.keys() | after.keys()):
        if path not in after:
            faults.append(f"{path}: gone")
            continue
        if path not in before:
            faults.append(f"{path}: appeared")
            continue
        was, now = before[path], after[path]
        for what in ("mode", "owner", "attributes", "target"):
            if was.get(what) != now.get(what):
                faults.append(f"{path}: {what} was {was.get(what)!r}, is {now.get(what)!r}")
        # A read-only file is kept, as are empty files, links and folders.
        if was.get("bytes") and not read_only(was):
            if now.get("bytes") != shortened(was["bytes"]):
                faults.append(f"{path}: {was['bytes'][:80]!r} became {now.get('bytes', b'')[:80]!r}"
                              f", expected {shortened(was['bytes'])[:80]!r}")
            # Blocks its lines moved into may be stored; no hole is.
            if was["stored"] is not None and (now.get("stored") is None or
                                              now["stored"] > was["stored"] + 65536):
                faults.append(f"{path}: hole filled: {was['stored']} bytes stored, "
                              f"now {now.get('stored')}")
        elif was["identity"] != now["identity"] or was.get("bytes") != now.get("bytes"):
            faults.append(f"{path}: touched (inode and time {was['identity']} became "
                          f"{now['identity']})")
    return faults


def check_notice(before, result):
    """Status 0 and "finished!" alone, unless read-only files were kept: then
    status 1 and exactly those named."""
    kept = [path for path, entry in before.items() if read_only(entry) and entry["bytes"]]
    if not kept:
        expected = ["finished!"]
    else:
        expected = ["finished!", "", f"{len(kept)} entr{'y' if len(kept) == 1 else 'ies'} "
                    "could not be shortened:"] + [f"./{path}: read-only" for path in kept]
    faults = []
    if sorted(result.stdout.splitlines()) != sorted(expected):
        faults.append("its notice differs from " + repr("\n".join(expected)))
    if result.returncode != (1 if kept else 0):
        faults.append(f"exit status {result.returncode}")
    return faults


def volume_of(path):
    path = os.path.realpath(path)
    while not os.path.ismount(path):
        path = os.path.dirname(path)
    return path


def trim_twice(root, command):
    ok = True
    for run in (1, 2):
        before = snapshot(root)
        result = subprocess.run(command, cwd=root, capture_output=True, text=True)
        faults = check_run(before, snapshot(root)) + check_notice(before, result)
        faults += [f"copy left behind: {path}" for path in leftovers(volume_of(root))]
        print(f"  run {run}:", (result.stderr.strip().splitlines() or ["no summary"])[-1])
        if faults:
            ok = False
            print("    " + "\n    ".join(faults[:10]))
            if len(faults) > 10:
                print(f"    ... and {len(faults) - 10} more")
            print("    its notice:", result.stdout.strip().replace("\n", "\n      "))
    return ok


def main(args):
    if args[0] == "make":
        make(args[1], args[3] if args[2:3] == ["--foreign"] else None)
        return 0
    if args[0] == "trim-twice":
        return 0 if trim_twice(args[1], args[2:]) else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
