// Queries the stand-in game server with gamedig, a query library of its own
// design, to show that the stand-in speaks the protocol that clients speak:
// a plain info exchange, the exchange with a challenge, and the refusal of a
// reply with the wrong header.
// Usage: node gamedig_check.mjs STANDIN_EXE NODE_MODULES_DIR WINE_RUN
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import dgram from 'node:dgram';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const [standinExe, modulesDir, wineRun] = process.argv.slice(2);
const { GameDig } = await import(
    pathToFileURL(path.join(modulesDir, 'gamedig', 'lib', 'index.js')).href);

function freeUdpPort() {
    return new Promise((resolve, reject) => {
        const probe = dgram.createSocket('udp4');
        probe.on('error', reject);
        probe.bind(0, '127.0.0.1', () => {
            const { port } = probe.address();
            probe.close(() => resolve(port));
        });
    });
}

function readKeys(dir, name) {
    let text;
    try {
        text = fs.readFileSync(path.join(dir, name), 'latin1');
    } catch {
        return null;
    }
    const keys = {};
    for (const line of text.split('\n')) {
        const at = line.indexOf('=');
        if (at > 0) keys[line.slice(0, at)] = line.slice(at + 1);
    }
    return keys;
}

async function waitFor(what, test, timeoutMs = 20000) {
    const start = Date.now();
    for (;;) {
        const value = test();
        if (value) return value;
        if (Date.now() - start > timeoutMs) throw new Error(`timed out waiting for ${what}`);
        await new Promise((resolve) => setTimeout(resolve, 20));
    }
}

async function setMode(dir, mode) {
    fs.writeFileSync(path.join(dir, 'standin_control.txt'), `${mode}\n`);
    return waitFor(`mode ${mode}`, () => {
        const state = readKeys(dir, 'standin_state.txt');
        return state && state.mode === mode ? state : null;
    });
}

// The state is rewritten just after a reply goes out, so it may lag the reply.
async function expectCounts(dir, requests, challenges, infos) {
    const expected = [requests, challenges, infos].join(' ');
    let actual = '';
    try {
        await waitFor('the counts', () => {
            const state = readKeys(dir, 'standin_state.txt');
            actual = state ? [state.requests, state.challenges, state.infos].join(' ') : '';
            return actual === expected;
        }, 5000);
    } catch {
        assert.equal(actual, expected, 'requests, challenges, infos');
    }
}

function query(port, socketTimeout = 2000) {
    return GameDig.query({
        type: 'protocol-valve', host: '127.0.0.1', port, givenPortOnly: true,
        requestPlayers: false, maxRetries: 0, socketTimeout, attemptTimeout: socketTimeout * 3,
    });
}

function checkInfo(state, port) {
    assert.equal(state.name, `Stand-in server on port ${port}`);
    assert.equal(state.map, 'de_dust2');
    assert.equal(state.maxplayers, 24);
    assert.equal(state.numplayers, 0);
    assert.equal(state.password, false);
    assert.equal(state.version, '1.0.0.0');
    assert.equal(state.raw.protocol, 17);
    assert.equal(state.raw.folder, 'cstrike');
    assert.equal(state.raw.game, 'Stand-in');
    assert.equal(state.raw.listentype, 'd');
    assert.equal(state.raw.environment, 'w');
    assert.equal(state.connect, `127.0.0.1:${port}`);
}

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-gamedig-'));
const port = await freeUdpPort();
fs.writeFileSync(path.join(dir, 'standin_control.txt'), 'answer\n');
const child = spawn(wineRun, [standinExe, '-console', '-game', 'cstrike', '-ip', '127.0.0.1',
    '-port', String(port), '-maxplayers', '24', '+map', 'de_dust2'],
    { cwd: dir, stdio: 'ignore' });
const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
let failed = false;
try {
    await waitFor('the stand-in record', () => readKeys(dir, 'standin_record.txt'));

    checkInfo(await query(port), port);
    await expectCounts(dir, 1, 0, 1);
    console.log('plain exchange: ok');

    await setMode(dir, 'challenge');
    checkInfo(await query(port), port);
    // One plain request answered with the challenge, one challenged request
    // answered with the info reply.
    await expectCounts(dir, 3, 1, 2);
    console.log('challenge exchange: ok');

    await setMode(dir, 'badheader');
    await assert.rejects(query(port, 500));
    console.log('wrong header refused: ok');

    fs.writeFileSync(path.join(dir, 'standin_control.txt'), 'exit 7\n');
    assert.equal(await Promise.race([exited, new Promise((r) => setTimeout(r, 20000, 'running'))]), 7);
    console.log('exit on request: ok');
} catch (error) {
    console.error(error);
    failed = true;
} finally {
    if (child.exitCode === null) {
        child.kill('SIGKILL');
        await exited;
    }
    fs.rmSync(dir, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
