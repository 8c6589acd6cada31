"""The folder an index lives in: whose it is, who may write it, and which of its files are the index's.

An index folder carries a marker file of its own (``MARKER``). An index is made
only in a folder that is empty, or that holds nothing but an index's own files
(an index made before the marker existed); any other folder is refused, so that
an index never overwrites or deletes what another program keeps there.

One update at a time holds the folder's lock. It is taken on the folder itself,
so removing the ``lock`` file cannot let a second update in, and on the
``lock`` file as well, which is what older versions take. The lock file also
records the name prefixes of the files the holder is about to write: the next
holder removes those that no manifest names (what a killed update left), and
nothing else is ever removed but segments a manifest stopped naming.
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
import re
import time

__all__ = ["FolderLock", "LockTimeout", "MARKER", "NotAnIndexFolder", "claim", "ignore_in_git", "is_index_folder",
           "marked_segment_files", "not_an_index", "remove_own_files"]

MARKER = "VORPALINE-INDEX"
MANIFEST = "MANIFEST"
LOCK = "lock"
GITIGNORE = ".gitignore"
_MARKER_TEXT = b"This folder holds a vorpaline search index; vorpaline writes and removes the files in it.\n"

# The names an index has ever written. Only used to recognise an index made before the
# marker existed: removal goes by the recorded prefixes, never by these patterns.
_OWN_NAME = re.compile(r"MANIFEST|lock|\.gitignore|seg-\d{6,}-[0-9a-f]{8}(-\d{4})?(-merged)?(\.grep|\.files)?|MANIFEST\.[0-9a-f]{8}\.tmp")


class NotAnIndexFolder(FileExistsError):
    """The folder holds files that are not an index's: nothing is written or removed there."""


def not_an_index(folder: str) -> NotAnIndexFolder:
    return NotAnIndexFolder(errno.EEXIST, f"{folder} holds files that are not a vorpaline index; "
                            "choose an empty folder", folder)


class LockTimeout(TimeoutError):
    """Another update held the folder's lock for longer than the caller would wait."""


def checked_manifest_body(path: str, data: bytes) -> bytes:
    """The JSON of a manifest file's bytes, its checksum line checked (before the format, so that a
    format number can be trusted); IndexUnusable when they do not match."""
    body, _, checksum = data[:-1].rpartition(b"\n")  # the file ends with the checksum's line end
    if not data.endswith(b"\n") or not body or hashlib.blake2b(body, digest_size=16).hexdigest().encode() != checksum:
        from vorpaline.search.protocol import IndexUnusable

        raise IndexUnusable(f"index file {path} is damaged (its checksum does not match); "
                            "run `vorpaline index --rebuild`")
    return body


def is_index_folder(folder: str) -> bool:
    """Whether ``folder`` carries the marker, or holds only what an index writes (nothing at all, say)
    with a manifest that reads as an index's."""
    try:
        entries = os.listdir(folder)
    except FileNotFoundError:
        return True
    if MARKER in entries:
        return True
    return all(_OWN_NAME.fullmatch(entry) for entry in entries) and (
        MANIFEST not in entries or _reads_as_a_manifest(os.path.join(folder, MANIFEST)))


def _reads_as_a_manifest(path: str) -> bool:
    # The checksum is not asked for: a damaged index of an older version is still one to rebuild.
    try:
        with open(path, "rb") as handle:
            body = handle.read(1 << 30)[:-1].rpartition(b"\n")[0]
        manifest = json.loads(body)
    except (OSError, ValueError):
        return False
    return isinstance(manifest, dict) and "format" in manifest and "segments" in manifest


def claim(folder: str) -> None:
    """Makes ``folder`` (and its parents) if missing and marks it as an index's; refuses a folder
    that holds anything else."""
    os.makedirs(folder, exist_ok=True)
    if not is_index_folder(folder):
        raise not_an_index(folder)
    marker = os.path.join(folder, MARKER)
    if not os.path.exists(marker):
        descriptor = os.open(marker, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o644)
        try:
            os.write(descriptor, _MARKER_TEXT)
            os.fsync(descriptor)
        finally:
            os.close(descriptor)


def ignore_in_git(folder: str) -> None:
    """Writes ``folder/.gitignore`` holding ``*`` where it is missing, so that git (and the scan) never
    lists the index's files, as a venv keeps itself out of ``git status``. One already there is kept."""
    try:
        descriptor = os.open(os.path.join(folder, GITIGNORE),
                             os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC | os.O_NOFOLLOW, 0o644)
    except FileExistsError:
        return
    try:
        os.write(descriptor, b"*\n")
    finally:
        os.close(descriptor)


def _flock(descriptor: int, deadline: float | None, folder: str, wait: float | None) -> bool:
    """Takes an exclusive flock, polling until ``deadline``; False where the file system has no flock for it."""
    while True:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except OSError as error:
            if error.errno in (errno.EBADF, errno.EINVAL, errno.ENOLCK, errno.EOPNOTSUPP):
                return False  # e.g. NFS locks a folder opened read-only no better than this
            if error.errno not in (errno.EAGAIN, errno.EACCES):
                raise
        if deadline is not None and time.monotonic() >= deadline:
            raise LockTimeout(errno.ETIMEDOUT, f"another update of the index in {folder} is running; "
                              f"gave up after {wait:g} s (--wait SECONDS waits longer)")
        time.sleep(0.05)


class FolderLock:
    """The folder's update lock, held until ``release``; the kernel releases it if its holder dies."""

    def __init__(self, folder: str, wait: float | None) -> None:
        deadline = None if wait is None else time.monotonic() + wait
        self._folder = folder
        self._folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        self._file_fd = -1
        try:
            folder_locked = _flock(self._folder_fd, deadline, folder, wait)
            while True:
                self._file_fd = os.open(os.path.join(folder, LOCK),
                                        os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o644)
                _flock(self._file_fd, deadline, folder, wait)
                if folder_locked or self._names_lock_file():
                    break
                os.close(self._file_fd)  # removed or replaced before it was locked: lock the new one
                self._file_fd = -1
            self.leftover_prefixes = self._recorded_prefixes()
        except BaseException:
            self.release()
            raise

    def _names_lock_file(self) -> bool:
        try:
            path_status = os.stat(os.path.join(self._folder, LOCK), follow_symlinks=False)
        except FileNotFoundError:
            return False
        held = os.fstat(self._file_fd)
        return (path_status.st_dev, path_status.st_ino) == (held.st_dev, held.st_ino)

    def _recorded_prefixes(self) -> list[str]:
        data = os.pread(self._file_fd, 1 << 20, 0)
        try:
            # The record first; what may follow it is the tail of a longer one (see record_writing).
            prefixes = json.JSONDecoder().raw_decode(data.decode())[0].get("writing", []) if data.strip() else []
        except (ValueError, AttributeError):
            return []  # not ours to trust: nothing is removed by it
        return [prefix for prefix in prefixes if isinstance(prefix, str) and _safe_prefix(prefix)]

    def record_writing(self, prefixes: list[str]) -> None:
        """Notes, before they are written, the name prefixes of the files this holder writes."""
        data = json.dumps({"pid": os.getpid(), "writing": prefixes}).encode()
        # Written over the old record, then cut to length: a kill between the two leaves the new
        # record readable, where truncating first could leave none and orphan the files it named.
        os.pwrite(self._file_fd, data, 0)
        os.ftruncate(self._file_fd, len(data))

    def release(self) -> None:
        for descriptor in (self._file_fd, self._folder_fd):
            if descriptor >= 0:
                os.close(descriptor)
        self._file_fd = self._folder_fd = -1


_SEGMENT_NAME = re.compile(r"seg-\d{6,}-[0-9a-f]{8}(-\d{4})?(-merged)?(\.grep|\.files)?")


def _safe_prefix(prefix: str) -> bool:
    # A recorded prefix names files of the index's own forms only: never a bare "s" or a path.
    return bool(_SEGMENT_NAME.fullmatch(prefix) or re.fullmatch(r"MANIFEST\.[0-9a-f]{8}\.", prefix))


def marked_segment_files(folder: str) -> set[str]:
    """The segment files of a folder that carries the marker (none elsewhere): all of them the index's own."""
    entries = os.listdir(folder)
    return {entry for entry in entries if _SEGMENT_NAME.fullmatch(entry)} if MARKER in entries else set()


def remove_own_files(folder: str, no_longer_named: set[str], prefixes: list[str], named: set[str]) -> None:
    """Removes the segments a manifest stopped naming, and the files of the recorded prefixes that
    the manifest now in force does not name."""
    doomed = set(no_longer_named)
    if prefixes:
        wanted = tuple(prefix for prefix in prefixes if _safe_prefix(prefix))
        doomed.update(entry for entry in os.listdir(folder) if entry.startswith(wanted))
    for entry in doomed - named:
        try:
            os.unlink(os.path.join(folder, entry))
        except FileNotFoundError:
            pass
