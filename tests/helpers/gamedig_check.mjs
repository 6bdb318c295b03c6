// Reads the stand-in game server with gamedig, a query client of its own
// design, to show that the stand-in speaks the protocol real clients speak,
// challenge included. Usage: node gamedig_check.mjs STANDIN_EXE NODE_MODULES WINE_RUN
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import dgram from 'node:dgram';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const [standinExe, modulesDir, wineRun] = process.argv.slice(2);
const { GameDig } = await import(pathToFileURL(path.join(modulesDir, 'gamedig/lib/index.js')).href);
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-gamedig-'));
const probe = dgram.createSocket('udp4');
const port = await new Promise((resolve) => probe.bind(0, '127.0.0.1', () => resolve(probe.address().port)));
probe.close();
fs.copyFileSync(standinExe, path.join(dir, 'srcds.exe'));
fs.writeFileSync(path.join(dir, 'srcds_control.txt'), 'challenge\n');
const child = spawn(wineRun, [path.join(dir, 'srcds.exe'), '-game', 'cstrike', '-port', String(port)],
    { stdio: 'ignore' });
let failed = false;
try {
    for (let i = 0; i < 400 && !fs.existsSync(path.join(dir, 'srcds_record.txt')); i++) {
        await new Promise((resolve) => setTimeout(resolve, 50));
    }
    const state = await GameDig.query({ type: 'protocol-valve', host: '127.0.0.1', port,
        givenPortOnly: true, requestPlayers: false, maxRetries: 0, socketTimeout: 2000 });
    assert.equal(state.name, 'launch 1');
    assert.equal(state.map, 'standin_map');
    assert.equal(state.raw.folder, 'cstrike');
    assert.equal(state.raw.game, 'Stand-in');
    assert.equal(state.maxplayers, 16);
    assert.equal(state.version, '1.0.0.0');
    console.log('challenged info exchange read by gamedig: ok');
} catch (error) {
    console.error(error, `\nkept for the failure: ${dir}`);
    failed = true;
}
child.kill('SIGKILL');
if (!failed) fs.rmSync(dir, { recursive: true, force: true });
process.exit(failed ? 1 : 0);
