"""rosbag2 recordings with MCAP storage: written as messages come, finished
however the writing ends, and read back.

A recording is a directory (``run/``) holding ``run.mcap`` and
``metadata.yaml``, as ``ros2 bag record -s mcap`` makes it; ``ros2 bag
info/play``, Foxglove, PlotJuggler and rosbags open it. A single ``.mcap``
file (``BagWriter.single_file``) holds the same and opens in all of them too.

The MCAP is written by the ``mcap`` package's writer, in chunks compressed
with zstd, each with a CRC. A chunk is closed every ``chunk_seconds`` of
messages (one second by default), so a process killed without warning
leaves a file readable up to the last chunk it closed: at most that much is
lost, plus what the writer had not yet been handed. ``finish`` (``korvo
reindex``) completes such a file where it lies: it drops a torn last chunk,
appends the index and summary, and writes ``metadata.yaml``.

A full disk: the writer keeps a reserve file beside the MCAP, large enough
to finish it, and gives it up when a write fails or the reserve can no
longer grow, so that the recording still ends valid and complete up to the
last chunk written.
"""

from __future__ import annotations

import errno
import io
import os
import struct
from collections import defaultdict
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, cast

import numpy as np
from mcap.data_stream import ReadDataStream, RecordBuilder
from mcap.exceptions import McapError
from mcap.opcode import Opcode
from mcap.reader import make_reader
from mcap.records import (
    Channel,
    Chunk,
    ChunkIndex,
    DataEnd,
    Footer,
    Message,
    MessageIndex,
    Metadata,
    MetadataIndex,
    Schema,
    Statistics,
    SummaryOffset,
)
from mcap.stream_reader import MAGIC_SIZE, breakup_chunk
from mcap.writer import CompressionType, Writer
from ruamel.yaml import YAML

from . import messages

MAGIC = b"\x89MCAP0\r\n"
ROSBAG2_VERSION = 8          # what ROS 2 Jazzy writes; Kilted reads it too
RESERVE_NAME = ".korvo-reserve"
RESERVE_STEP = 128 * 1024


class BagError(Exception):
    """A recording that cannot be written or read; the text says why and where."""


def _reserve_needed(chunks: int, channels: int) -> int:
    # Schemas and channels (a few kB), metadata.yaml, and one chunk index
    # (about 100 bytes plus 10 a channel) per chunk, with room to spare.
    return 48 * 1024 + chunks * (160 + 20 * channels)


class _File:
    """The MCAP's descriptor as the writer's stream: every write whole or an
    OSError, and the offset of what is on disk."""

    def __init__(self, path: Path) -> None:
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
        self.offset = 0

    def write(self, data: bytes | bytearray | memoryview) -> int:
        view = memoryview(data)
        while view:
            done = os.write(self.fd, view)
            self.offset += done
            view = view[done:]
        return len(data)

    def tell(self) -> int:
        return self.offset

    def flush(self) -> None:
        pass

    def truncate(self, offset: int) -> None:
        os.ftruncate(self.fd, offset)
        os.lseek(self.fd, offset, os.SEEK_SET)
        self.offset = offset

    def close(self) -> None:
        os.close(self.fd)


@dataclass
class TopicInfo:
    name: str
    type: str
    count: int = 0


def metadata_yaml(relative_path: str, topics: Iterable[TopicInfo], start_ns: int, end_ns: int,
                  custom: dict[str, str] | None = None) -> dict[str, Any]:
    """The rosbag2 metadata of a one-file MCAP recording."""
    topics = list(topics)
    count = sum(t.count for t in topics)
    if count == 0:
        start_ns = end_ns = 0
    duration = max(0, end_ns - start_ns)
    return {
        "rosbag2_bagfile_information": {
            "version": ROSBAG2_VERSION,
            "storage_identifier": "mcap",
            "duration": {"nanoseconds": duration},
            "starting_time": {"nanoseconds_since_epoch": start_ns},
            "message_count": count,
            "topics_with_message_count": [
                {
                    "topic_metadata": {
                        "name": t.name,
                        "type": t.type,
                        "serialization_format": "cdr",
                        "offered_qos_profiles": "",
                        "type_description_hash": messages.type_hash(t.type),
                    },
                    "message_count": t.count,
                }
                for t in topics
            ],
            "compression_format": "",
            "compression_mode": "",
            "relative_file_paths": [relative_path],
            "files": [
                {
                    "path": relative_path,
                    "starting_time": {"nanoseconds_since_epoch": start_ns},
                    "duration": {"nanoseconds": duration},
                    "message_count": count,
                }
            ],
            "custom_data": dict(custom or {}),
            "ros_distro": "jazzy",
        }
    }


def _dump(data: Any) -> str:
    stream = io.StringIO()
    yaml = YAML(typ="safe")
    yaml.default_flow_style = False
    yaml.dump(data, stream)
    return stream.getvalue()


def _write_text(path: Path, text: str) -> None:
    temporary = path.with_name(path.name + ".tmp")
    temporary.write_text(text)
    temporary.replace(path)


class BagWriter:
    """Writes Stamped messages (korvo.ros.messages) to a rosbag2 directory
    with MCAP storage, or to one .mcap file.

    Errors are BagError: the path exists or cannot be made, a write failed
    (the disk is full, the medium went away). After a failed write the
    recording is finished as far as it got (see the module's text) and
    every later write is refused.
    """

    def __init__(self, path: str | os.PathLike[str], topics: dict[str, str], *, single_file: bool = False,
                 compression: str = "zstd", chunk_seconds: float = 1.0,
                 custom: dict[str, str] | None = None) -> None:
        self.path = Path(path)
        self.single_file = single_file
        self.chunk_ns = int(chunk_seconds * 1e9)
        self.custom = dict(custom or {})
        if compression not in ("zstd", "lz4", "none"):
            raise ValueError(f"compression is zstd, lz4 or none, not {compression!r}")
        if single_file:
            self.directory = self.path.parent
            self.mcap_path = self.path
        else:
            self.directory = self.path
            self.mcap_path = self.path / f"{self.path.name}.mcap"
        self.error: BagError | None = None
        self.closed = False
        try:
            if not single_file:
                self.path.mkdir(parents=False)
            self.file = _File(self.mcap_path)
        except FileExistsError:
            raise BagError(f"{self.path} exists already: a recording never writes over another") from None
        except OSError as e:
            raise BagError(f"cannot create {self.path}: {e.strerror}") from None
        self.reserve_path = self.directory / (RESERVE_NAME if not single_file else f".{self.path.name}.reserve")
        self.reserve_fd: int | None = None
        self.reserved = 0
        self.topics: dict[str, TopicInfo] = {}
        self.channels: dict[str, int] = {}
        self.start_ns: int | None = None
        self.end_ns = 0
        self.chunk_start_ns: int | None = None
        self.chunks = 0
        self.committed = 0
        try:
            self._grow_reserve()
            self.writer: Any = Writer(
                cast(Any, self.file),
                chunk_size=8 * 1024 * 1024,
                compression={"zstd": CompressionType.ZSTD, "lz4": CompressionType.LZ4, "none": CompressionType.NONE}[compression],
            )
            self.writer.start(profile="ros2", library="korvo")
            schemas: dict[str, int] = {}
            for name, type in topics.items():
                if type not in schemas:
                    schemas[type] = self.writer.register_schema(type, "ros2msg", messages.definition(type).encode())
                self.channels[name] = self.writer.register_channel(
                    name, "cdr", schemas[type],
                    {"offered_qos_profiles": "", "topic_type_hash": messages.type_hash(type)})
                self.topics[name] = TopicInfo(name, type)
            self._commit()
        except OSError as e:
            self._remove()
            raise BagError(f"cannot write {self.mcap_path}: {e.strerror}") from None

    # -- writing ---------------------------------------------------------------------------------

    def write(self, items: Iterable[messages.Stamped]) -> None:
        """Adds messages (log time: their stamps); closes the chunk in
        progress once it spans chunk_seconds."""
        if self.error is not None:
            raise self.error
        if self.closed:
            raise BagError(f"{self.path} is closed")
        add, channels, topics = self.writer.add_message, self.channels, self.topics
        first = last = None
        try:
            for item in items:
                data = messages.serialize(item.message, item.type)
                # A chunk that outgrows its size limit is written from here.
                add(channels[item.topic], item.stamp_ns, data, item.stamp_ns, item.sequence & 0xFFFFFFFF)
                topics[item.topic].count += 1
                if first is None:
                    first = item.stamp_ns
                last = item.stamp_ns
        except OSError as e:
            raise self._fail(e) from None
        if first is None or last is None:
            return
        if self.start_ns is None:
            self.start_ns = first
        self.start_ns = min(self.start_ns, first)
        self.end_ns = max(self.end_ns, last)
        if self.chunk_start_ns is None:
            self.chunk_start_ns = first
        if last - self.chunk_start_ns >= self.chunk_ns:
            self.flush()

    def flush(self) -> None:
        """Closes the chunk in progress and hands it to the system."""
        if self.error is not None:
            raise self.error
        try:
            self.writer.flush()
            self.chunk_start_ns = None
            self.chunks += 1
            self._commit()
            self._grow_reserve()
        except OSError as e:
            raise self._fail(e) from None

    def _commit(self) -> None:
        self.committed = self.file.tell()

    def _grow_reserve(self) -> None:
        needed = _reserve_needed(self.chunks, len(self.channels) or 16)
        if needed <= self.reserved:
            return
        if self.reserve_fd is None:
            self.reserve_fd = os.open(self.reserve_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        size = self.reserved + max(RESERVE_STEP, needed - self.reserved)
        try:
            os.posix_fallocate(self.reserve_fd, 0, size)
        except OSError as e:
            if e.errno not in (errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS):
                raise
            # A file system without allocation: zeros take the room as well.
            for at in range(self.reserved, size, RESERVE_STEP):
                os.pwrite(self.reserve_fd, bytes(min(RESERVE_STEP, size - at)), at)
        self.reserved = size

    def _release_reserve(self) -> None:
        if self.reserve_fd is not None:
            os.close(self.reserve_fd)
            self.reserve_fd = None
        try:
            os.unlink(self.reserve_path)
        except FileNotFoundError:
            pass

    def _remove(self) -> None:
        self._release_reserve()
        try:
            self.file.close()
        except (OSError, AttributeError):
            pass
        try:
            self.mcap_path.unlink()
        except OSError:
            pass
        if not self.single_file:
            try:
                self.path.rmdir()
            except OSError:
                pass

    def _fail(self, e: OSError) -> BagError:
        """A write failed: the recording ends with what is whole on disk."""
        what = "the disk is full" if e.errno in (errno.ENOSPC, errno.EDQUOT) else e.strerror
        error = self.error = BagError(f"recording to {self.path} stopped: {what}; what was written up to then is kept")
        self._release_reserve()
        try:
            self.file.truncate(self.committed)
            self.file.close()
        except OSError:
            pass
        self.closed = True
        try:
            finish(self.path if not self.single_file else self.mcap_path, custom=self.custom)
        except (OSError, BagError):
            pass  # `korvo reindex` can finish it where there is room
        return error

    # -- ending ----------------------------------------------------------------------------------

    def close(self) -> None:
        """Finishes the MCAP (index, summary) and writes metadata.yaml."""
        if self.closed:
            if self.error is not None:
                raise self.error
            return
        try:
            self.writer.add_metadata("rosbag2", {"serialized_metadata": self._serialized_metadata()})
            self.writer.finish()
            self.closed = True
            self.file.close()
        except OSError as e:
            raise self._fail(e) from None
        self._release_reserve()
        if not self.single_file:
            try:
                _write_text(self.path / "metadata.yaml", _dump(self._metadata()))
            except OSError as e:
                raise BagError(f"cannot write {self.path / 'metadata.yaml'}: {e.strerror} "
                               f"(the MCAP is complete: 'korvo reindex {self.path}' writes it)") from None

    def _metadata(self) -> dict[str, Any]:
        return metadata_yaml(self.mcap_path.name, self.topics.values(), self.start_ns or 0, self.end_ns, self.custom)

    def _serialized_metadata(self) -> str:
        return _dump(self._metadata()["rosbag2_bagfile_information"])

    def abandon(self) -> None:
        """Closes the descriptors without finishing (what a killed process leaves)."""
        self._release_reserve()
        if not self.closed:
            self.closed = True
            self.file.close()


# -- finishing what a killed writer left -------------------------------------------------------------


@dataclass
class _Scan:
    header_end: int = 0
    good_end: int = 0
    finished: bool = False
    schemas: dict[int, Schema] = field(default_factory=dict)
    channels: dict[int, Channel] = field(default_factory=dict)
    chunk_indexes: list[ChunkIndex] = field(default_factory=list)
    metadata: list[MetadataIndex] = field(default_factory=list)
    counts: dict[int, int] = field(default_factory=lambda: defaultdict(int))
    start: int | None = None
    end: int = 0


def _settle(scan: _Scan, chunk: Chunk, offset: int, end: int, indexes: dict[int, tuple[int, int]], last: bool) -> bool:
    """Takes a chunk into the scan; False when it is torn or corrupt.

    A chunk followed by its message indexes was written whole before them:
    its counts come from the indexes, and only a chunk that names channels
    not seen yet (the first) is opened. The last chunk of an unfinished
    file is opened and checked, and its indexes, which may be cut short,
    are dropped."""
    if last or not indexes or any(c not in scan.channels for c in indexes):
        try:
            contents = list(breakup_chunk(chunk, validate_crc=True))
        except (McapError, ValueError, EOFError, struct.error):
            return False
        counts: dict[int, int] = defaultdict(int)
        for item in contents:
            if isinstance(item, Schema):
                scan.schemas[item.id] = item
            elif isinstance(item, Channel):
                scan.channels[item.id] = item
            elif isinstance(item, Message):
                counts[item.channel_id] += 1
    else:
        counts = {channel: n for channel, (_, n) in indexes.items()}
    if last:
        indexes = {}
    if sum(counts.values()):
        scan.start = chunk.message_start_time if scan.start is None else min(scan.start, chunk.message_start_time)
        scan.end = max(scan.end, chunk.message_end_time)
    for channel, n in counts.items():
        scan.counts[channel] += n
    scan.chunk_indexes.append(ChunkIndex(
        message_start_time=chunk.message_start_time, message_end_time=chunk.message_end_time,
        chunk_start_offset=offset, chunk_length=end - offset,
        message_index_offsets={channel: at for channel, (at, _) in indexes.items()},
        message_index_length=0, compression=chunk.compression, compressed_size=len(chunk.data),
        uncompressed_size=chunk.uncompressed_size))
    return True


def _scan(stream: Any, size: int) -> _Scan:
    """Walks the MCAP's records from the start, as far as they are whole."""
    scan = _Scan()
    if stream.read(MAGIC_SIZE) != MAGIC:
        raise BagError("not an MCAP file (no magic bytes at its start)")
    offset = MAGIC_SIZE
    scan.good_end = offset
    # The latest chunk, its offset and end, and its message indexes so far
    # (channel: (offset, messages)), until the next record settles it.
    pending: tuple[Chunk, int, int] | None = None
    indexes: dict[int, tuple[int, int]] = {}

    def settle(last: bool) -> bool:
        nonlocal pending
        if pending is None:
            return True
        chunk, at, chunk_end = pending
        pending = None
        if not _settle(scan, chunk, at, chunk_end, indexes, last):
            scan.good_end = at
            return False
        index = scan.chunk_indexes[-1]
        if index.message_index_offsets:
            index.message_index_length = scan.good_end - chunk_end
        else:
            scan.good_end = chunk_end
        return True

    while offset + 9 <= size:
        stream.seek(offset)
        opcode, length = struct.unpack("<BQ", stream.read(9))
        end = offset + 9 + length
        if end > size:
            break
        if opcode == Opcode.MESSAGE_INDEX and pending is not None:
            index = MessageIndex.read(ReadDataStream(io.BytesIO(stream.read(length))))
            indexes[index.channel_id] = (offset, len(index.records))
            offset = scan.good_end = end
            continue
        if not settle(last=False):
            return scan
        if opcode in (Opcode.DATA_END, Opcode.FOOTER):
            scan.finished = True
            return scan
        record = ReadDataStream(io.BytesIO(stream.read(length)))
        if opcode == Opcode.CHUNK:
            try:
                pending, indexes = (Chunk.read(record), offset, end), {}
            except (McapError, ValueError, EOFError, struct.error):
                return scan
        elif opcode == Opcode.SCHEMA:
            schema = Schema.read(record)
            scan.schemas[schema.id] = schema
        elif opcode == Opcode.CHANNEL:
            channel = Channel.read(record)
            scan.channels[channel.id] = channel
        elif opcode == Opcode.METADATA:
            scan.metadata.append(MetadataIndex(offset=offset, length=end - offset, name=Metadata.read(record).name))
        offset = scan.good_end = end
    settle(last=True)
    return scan


def _topics(scan: _Scan) -> list[TopicInfo]:
    return [TopicInfo(c.topic, scan.schemas[c.schema_id].name if c.schema_id in scan.schemas else "", scan.counts.get(i, 0))
            for i, c in sorted(scan.channels.items())]


def _append_summary(stream: Any, scan: _Scan, offset: int, rosbag2: str) -> None:
    """Writes at `offset` what a writer's finish() writes: the rosbag2
    metadata record, the end of the data, the summary and the footer."""
    builder: Any = RecordBuilder()
    metadata = list(scan.metadata)
    metadata.append(MetadataIndex(offset=offset, length=0, name="rosbag2"))
    Metadata(name="rosbag2", metadata={"serialized_metadata": rosbag2}).write(builder)
    metadata[-1].length = builder.count
    DataEnd(0).write(builder)
    data = builder.end()
    summary_start = offset + len(data)
    summary: Any = RecordBuilder()
    offsets: list[SummaryOffset] = []

    def group(opcode: int, records: Iterable[Any]) -> None:
        start = summary.count
        for r in records:
            r.write(summary)
        offsets.append(SummaryOffset(group_opcode=opcode, group_start=summary_start + start, group_length=summary.count - start))

    group(Opcode.SCHEMA, scan.schemas.values())
    group(Opcode.CHANNEL, scan.channels.values())
    group(Opcode.STATISTICS, [Statistics(
        message_count=sum(scan.counts.values()), schema_count=len(scan.schemas), channel_count=len(scan.channels),
        attachment_count=0, metadata_count=len(metadata), chunk_count=len(scan.chunk_indexes),
        message_start_time=scan.start or 0, message_end_time=scan.end, channel_message_counts=dict(scan.counts))])
    group(Opcode.CHUNK_INDEX, scan.chunk_indexes)
    group(Opcode.METADATA_INDEX, metadata)
    summary_offset_start = summary_start + summary.count
    for o in offsets:
        o.write(summary)
    body = summary.end()
    tail: Any = RecordBuilder()
    Footer(summary_start=summary_start, summary_offset_start=summary_offset_start, summary_crc=0).write(tail)
    stream.seek(offset)
    stream.truncate(offset)
    stream.write(data + body + tail.end() + MAGIC)
    stream.flush()


def _bag_paths(path: Path) -> tuple[Path, Path | None]:
    """The MCAP file of a recording, and its directory (None for a lone file)."""
    if path.is_dir():
        files = sorted(path.glob("*.mcap"))
        if not files:
            raise BagError(f"{path} holds no .mcap file")
        return files[0], path
    return path, None


def finish(path: str | os.PathLike[str], custom: dict[str, str] | None = None) -> dict[str, Any]:
    """Makes a recording whole: an MCAP its writer never finished (a killed
    process, a full disk) gets its torn end cut, its index and summary
    appended; a recording directory gets its metadata.yaml (again). Returns
    what it found: messages, chunks, and whether the MCAP was finished
    already."""
    mcap_path, directory = _bag_paths(Path(path))
    try:
        with open(mcap_path, "r+b") as stream:
            size = os.fstat(stream.fileno()).st_size
            scan = _scan(stream, size)
            if scan.finished:
                stream.seek(0)
                summary = make_reader(stream).get_summary()
                stats = summary.statistics if summary is not None else None
                topics = [TopicInfo(c.topic, summary.schemas[c.schema_id].name if summary else "",
                                    stats.channel_message_counts.get(i, 0) if stats else 0)
                          for i, c in sorted((summary.channels if summary else {}).items())]
                start = stats.message_start_time if stats else 0
                end = stats.message_end_time if stats else 0
                cut = 0
            else:
                topics = _topics(scan)
                start, end = scan.start or 0, scan.end
                info = metadata_yaml(mcap_path.name, topics, start, end, custom)
                cut = size - scan.good_end
                _append_summary(stream, scan, scan.good_end, _dump(info["rosbag2_bagfile_information"]))
    except OSError as e:
        raise BagError(f"cannot finish {mcap_path}: {e.strerror}") from None
    if directory is not None:
        try:
            _write_text(directory / "metadata.yaml", _dump(metadata_yaml(mcap_path.name, topics, start, end, custom)))
        except OSError as e:
            raise BagError(f"cannot write {directory / 'metadata.yaml'}: {e.strerror}") from None
    return {"messages": sum(t.count for t in topics), "was_finished": scan.finished, "bytes_cut": cut,
            "topics": {t.name: t.count for t in topics}}


# -- reading -----------------------------------------------------------------------------------------


def iter_messages(path: str | os.PathLike[str], topics: Iterable[str] | None = None) -> Iterator[tuple[str, str, Any]]:
    """(topic, type, mcap Message) of a recording (directory or .mcap), in
    file order; an unfinished file is read as far as it is whole."""
    mcap_path, _ = _bag_paths(Path(path))
    wanted = set(topics) if topics is not None else None
    with open(mcap_path, "rb") as stream:
        reader = make_reader(stream)
        try:
            summary = reader.get_summary()
        except (McapError, EOFError, struct.error, ValueError):
            summary = None
        if summary is None:
            yield from _iter_unfinished(stream, wanted)
            return
        for schema, channel, message in reader.iter_messages(topics=list(wanted) if wanted else None, log_time_order=False):
            yield channel.topic, schema.name if schema else "", message


def _iter_unfinished(stream: Any, wanted: set[str] | None) -> Iterator[tuple[str, str, Any]]:
    size = os.fstat(stream.fileno()).st_size
    stream.seek(0)
    scan = _scan(stream, size)
    for index in scan.chunk_indexes:
        stream.seek(index.chunk_start_offset + 9)
        chunk = Chunk.read(ReadDataStream(stream))
        for item in breakup_chunk(chunk, validate_crc=False):
            if isinstance(item, Message):
                channel = scan.channels[item.channel_id]
                if wanted is None or channel.topic in wanted:
                    yield channel.topic, scan.schemas[channel.schema_id].name, item


def custom_data(path: str | os.PathLike[str]) -> dict[str, str]:
    """The recording's own key-values (its rate, ports), from the rosbag2
    metadata record in the MCAP."""
    mcap_path, _ = _bag_paths(Path(path))
    with open(mcap_path, "rb") as stream:
        try:
            for record in make_reader(stream).iter_metadata():
                if record.name == "rosbag2":
                    info = YAML(typ="safe").load(record.metadata.get("serialized_metadata", "")) or {}
                    return {str(k): str(v) for k, v in (info.get("custom_data") or {}).items()}
        except (McapError, EOFError, struct.error, ValueError):
            return {}
    return {}


def save_ticks(ticks: Any, path: str | os.PathLike[str], started_at: float | None, rate: float | None,
               namespace: str = "arm") -> None:
    """Writes ticks (a korvo.Recording, or a tap's arrays) to one .mcap file,
    as a recorder would: stamped on the system clock through the loop's
    start when `started_at` is known, from the Unix epoch otherwise."""
    arm = messages.ArmMessages(namespace)
    clock = messages.Clock() if started_at is not None else messages.Clock(0)
    custom = {"arm_namespace": namespace}
    if rate is not None:
        custom["rate"] = repr(float(rate))
    target = Path(path)
    if target.is_file():
        target.unlink()  # as the other formats do: saving again replaces the file
    writer = BagWriter(target, arm.topics, single_file=True, custom=custom)
    try:
        names = ("tick", "time", "position", "velocity", "force", "commanded", "faults", "exchange_ok")
        columns = {n: np.asarray(ticks[n] if isinstance(ticks, dict) else getattr(ticks, n)) for n in names}
        step = 10_000
        for at in range(0, len(columns["tick"]), step):
            writer.write(arm.from_ticks({n: c[at:at + step] for n, c in columns.items()}, started_at or 0.0, clock))
        writer.close()
    except BaseException:
        writer.abandon()
        raise
